#include "mcp/McpToolCatalog.h"

#include "core/ActionCatalog.h"
#include "core/CommandFeedback.h"
#include "core/ContractError.h"
#include "core/ContractValidator.h"

#include <array>
#include <set>

namespace corvane {

namespace {

// The result models each action answers with (the lock gate's replacements included). The
// document lists every result under one union; an action missing here gets that whole union.
struct ActionResults {
    std::string_view action;
    std::array<std::string_view, 2> models;
};

constexpr std::array<ActionResults, 19> resultModels{{
    {"get_state", {"StateReport", "ScreenLockedResult"}},
    {"list_apps", {"AppList", ""}},
    {"open_app", {"OpenAppResult", ""}},
    {"quit_app", {"QuitAppResult", "EmptyResult"}},
    {"lock_screen", {"LockScreenResult", ""}},
    {"desktop_observe", {"Observation", ""}},
    {"open_url", {"EmptyResult", ""}},
    {"run_shortcut", {"EmptyResult", ""}},
    {"set_volume", {"EmptyResult", ""}},
    {"mute", {"EmptyResult", ""}},
    {"unmute", {"EmptyResult", ""}},
    {"media_play_pause", {"EmptyResult", ""}},
    {"media_next", {"EmptyResult", ""}},
    {"media_previous", {"EmptyResult", ""}},
    {"sleep_mac", {"EmptyResult", ""}},
    {"toggle_do_not_disturb", {"EmptyResult", ""}},
    {"close_browser_tabs", {"EmptyResult", ""}},
    {"desktop_act", {"EmptyResult", ""}},
    {"desktop_stop", {"EmptyResult", ""}},
}};

constexpr std::string_view unionModel = "ActionResult";

// What an assistant must know beyond what the action does.
struct Guidance {
    std::string_view action;
    std::string_view text;
};

constexpr std::string_view desktopConsent =
    "Desktop control works only while the person at this computer has turned it on in Velto "
    "(their consent, which no assistant can give or ask for here); otherwise it is refused with "
    "desktop_permission_required or desktop_app_not_allowed.";

constexpr std::array<Guidance, 8> guidance{{
    {"get_state", "On a locked computer it answers only {\"screen_locked\": true}."},
    {"desktop_observe",
     "Returns the elements and, with include_image, a JPEG image of the window; its snapshot_id "
     "is what desktop_act uses next."},
    {"desktop_act",
     "Needs the snapshot_id of the latest desktop_observe (desktop_snapshot_expired once it is "
     "old); observe again after every act."},
    {"desktop_stop", "Always allowed: it ends desktop control at once, and only the person can "
                     "turn it on again."},
    {"run_shortcut", "Only Shortcuts the person allowed in Velto's window run (others are refused "
                     "with action_not_allowlisted)."},
    {"quit_app",
     "An app with unsaved work may ask the person first (quit_pending_user_attention)."},
    {"lock_screen", "already_locked tells whether the screen was locked before."},
    {"close_browser_tabs",
     "Pinned tabs and tabs the browser would ask about are left alone; it may stop part way "
     "(browser_cleanup_partial)."},
}};

constexpr std::string_view everyTool =
    "Velto runs it on the person's computer after its own checks and keeps it in its private log; "
    "a refusal comes back as a tool error with Velto's code and sentence (screen_locked while the "
    "screen is locked, invalid_params for arguments it does not take, and the action's own codes).";

bool isDesktop(std::string_view action) {
    return action == "desktop_observe" || action == "desktop_act";
}

std::string description(std::string_view action, const JSON& parameters) {
    const std::string* own = parameters.stringMember("description");
    std::string text = own != nullptr ? *own : std::string();
    for (const Guidance& entry : guidance) {
        if (entry.action == action) {
            text.append(" ").append(entry.text);
        }
    }
    if (isDesktop(action)) {
        text.append(" ").append(desktopConsent);
    }
    // Appended piece by piece: GCC 12 takes " " + std::string&& for an overlapping copy when
    // optimising.
    return text.append(" ").append(everyTool);
}

// The names of the definitions `schema` refers to ("#/$defs/NAME"), added to `found` with the
// ones they refer to in turn.
void collectReferences(const JSON& schema, const JSON::Object& defs, std::set<std::string>& found) {
    if (const JSON::Object* object = schema.object()) {
        for (const auto& [key, value] : *object) {
            const std::string* target = value.string();
            constexpr std::string_view prefix = "#/$defs/";
            if (key == "$ref" && target != nullptr && target->rfind(prefix, 0) == 0) {
                const std::string name = target->substr(prefix.size());
                const auto definition = defs.find(name);
                if (definition == defs.end()) {
                    throw ContractError("unknown_model");
                }
                if (found.insert(name).second) {
                    collectReferences(definition->second, defs, found);
                }
            } else {
                collectReferences(value, defs, found);
            }
        }
    } else if (const JSON::Array* array = schema.array()) {
        for (const JSON& item : *array) {
            collectReferences(item, defs, found);
        }
    }
}

JSON reference(std::string_view model) {
    return JSON(JSON::Object{{"$ref", JSON(std::string("#/$defs/").append(model))}});
}

// {"type": "object", "anyOf": [refs], "$defs": {what they need}}: an object at the root, as the
// protocol asks of an output schema, with the document's own definitions beside it.
JSON outputSchema(std::string_view action, const JSON::Object& defs) {
    JSON::Array alternatives;
    bool listed = false;
    for (const ActionResults& entry : resultModels) {
        if (entry.action != action) {
            continue;
        }
        listed = true;
        for (const std::string_view model : entry.models) {
            if (!model.empty()) {
                alternatives.push_back(reference(model));
            }
        }
    }
    if (!listed) {
        alternatives.push_back(reference(unionModel));
    }
    JSON::Object schema{{"type", JSON("object")}};
    schema.emplace("anyOf", JSON(std::move(alternatives)));
    std::set<std::string> needed;
    collectReferences(JSON(schema), defs, needed);
    JSON::Object own;
    for (const std::string& name : needed) {
        own.emplace(name, defs.at(name));
    }
    schema.emplace("$defs", JSON(std::move(own)));
    return JSON(std::move(schema));
}

JSON inputSchema(const JSON& parameters) {
    JSON::Object schema = parameters.object() != nullptr ? *parameters.object() : JSON::Object{};
    // The description is the tool's; "type" is what the protocol requires at the root.
    schema.erase("description");
    schema["type"] = JSON("object");
    return JSON(std::move(schema));
}

JSON annotations(std::string_view action, std::string_view title) {
    const bool readOnly =
        action == "get_state" || action == "list_apps" || action == "desktop_observe";
    const bool destructive =
        action == "quit_app" || action == "close_browser_tabs" || action == "desktop_act";
    JSON::Object out{{"title", JSON(title)}, {"readOnlyHint", JSON(readOnly)}};
    if (!readOnly) {
        out.emplace("destructiveHint", JSON(destructive));
    }
    out.emplace("openWorldHint", JSON(false));
    return JSON(std::move(out));
}

} // namespace

McpToolCatalog McpToolCatalog::load(const QString& path) {
    return fromJSON(ContractValidator(path).root());
}

McpToolCatalog McpToolCatalog::fromJSON(JSON root) {
    const ActionCatalog actions = ActionCatalog::fromJSON(root);
    const JSON* defs = root.find("$defs");
    const JSON::Object& definitions = *defs->object();
    std::map<std::string, JSON, std::less<>> tools;
    for (const std::string& action : actions.names()) {
        const JSON& parameters = *actions.parameters(action);
        const std::string_view title = CommandFeedback::actionName(action);
        tools.emplace(action, JSON(JSON::Object{
                                  {"name", JSON(action)},
                                  {"title", JSON(title)},
                                  {"description", JSON(description(action, parameters))},
                                  {"inputSchema", inputSchema(parameters)},
                                  {"outputSchema", outputSchema(action, definitions)},
                                  {"annotations", annotations(action, title)},
                              }));
    }
    return McpToolCatalog(std::move(tools));
}

std::vector<std::string> McpToolCatalog::names() const {
    std::vector<std::string> out;
    for (const auto& entry : tools_) {
        out.push_back(entry.first);
    }
    return out;
}

const JSON* McpToolCatalog::tool(std::string_view action) const {
    const auto found = tools_.find(action);
    return found == tools_.end() ? nullptr : &found->second;
}

} // namespace corvane
