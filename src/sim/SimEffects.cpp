#include "sim/SimEffects.h"

#include "sim/SimApplications.h"
#include "sim/SimElementTree.h"
#include "sim/SimEventRecord.h"
#include "sim/SimSettings.h"
#include "sim/SimTabStrips.h"
#include "sim/SimValueCodec.h"

namespace corvane {

namespace {

std::string stringMember(const JSON& object, std::string_view key) {
    const std::string* s = object.stringMember(key);
    return s != nullptr ? *s : std::string();
}

PlatformValue toggled(const PlatformValue::Dictionary& attributes) {
    if (auto value = attributes.find("AXValue"); value != attributes.end()) {
        if (std::optional<bool> b = value->second.boolean()) {
            return PlatformValue(!*b);
        }
        if (std::optional<double> n = value->second.number()) {
            return PlatformValue(std::int64_t{*n == 0.0 ? 1 : 0});
        }
    }
    return PlatformValue(std::int64_t{1});
}

// A tab's selection: a boolean "AXValue", or a number other than 0.
std::optional<bool> selection(const SimElementTree::Element& tab) {
    auto value = tab.attributes.find("AXValue");
    if (value == tab.attributes.end()) {
        return std::nullopt;
    }
    if (std::optional<bool> b = value->second.boolean()) {
        return b;
    }
    if (std::optional<double> n = value->second.number()) {
        return *n != 0.0;
    }
    return std::nullopt;
}

const SimElementTree::Action* actionOf(const SimElementTree::Element& element,
                                       const std::string& name) {
    for (const SimElementTree::Action& action : element.actions) {
        if (action.name == name) {
            return &action;
        }
    }
    return nullptr;
}

} // namespace

void SimEffects::run(const JSON& effects, std::uint64_t self) {
    const JSON::Array* list = effects.array();
    if (list == nullptr) {
        return;
    }
    for (const JSON& effect : *list) {
        const JSON::Object* members = effect.object();
        if (members == nullptr || members->empty()) {
            continue;
        }
        const std::string& kind = members->begin()->first;
        const JSON& argument = members->begin()->second;
        if (kind == "lock_screen") {
            if (argument.isTrue()) {
                settings_.setLocked(true);
                record_.record("screen_locked");
            }
            continue;
        }
        const std::string* refName = kind == "set"      ? argument.stringMember("target")
                                     : kind == "insert" ? argument.stringMember("parent")
                                                        : argument.string();
        std::optional<std::uint64_t> target =
            refName != nullptr ? tree_.resolve(*refName, self) : std::nullopt;
        if (!target) {
            continue; // the element went away meanwhile; effects on it do nothing
        }
        SimElementTree::Element& e = *tree_.element(*target);
        if (kind == "toggle") {
            e.attributes.insert_or_assign("AXValue", toggled(e.attributes));
        } else if (kind == "remove") {
            tree_.remove(*target);
        } else if (kind == "show" || kind == "hide") {
            e.hidden = kind == "hide";
        } else if (kind == "select") {
            tree_.select(*target);
        } else if (kind == "remove_selected" || kind == "remove_unselected") {
            removeTabs(*target, kind == "remove_selected");
        } else if (kind == "focus") {
            tree_.focus(*target);
        } else if (SimTabStrips::isEffect(kind)) {
            tabs_.apply(kind, *target,
                        [this](const JSON& more, std::uint64_t tab) { run(more, tab); });
        } else if (kind == "raise") {
            // The enclosing window comes to the front of its application, which comes to the
            // front of the screen (a dialog taking over, say).
            if (const std::uint64_t window = tree_.windowOf(*target); window != 0) {
                tree_.raise(window);
            }
            apps_.setFrontmost(e.pid);
        } else if (kind == "quit") {
            // The application that owns the element ends (a "Don't Save" button); its elements,
            // this one included, are gone.
            apps_.forceQuit(e.pid);
            return;
        } else if (kind == "set") {
            e.attributes.insert_or_assign(stringMember(argument, "attribute"),
                                          tree_.value(*argument.find("value")));
        } else if (kind == "insert") {
            const std::int32_t pid = e.pid;
            const bool intoApplication = e.application;
            const std::uint64_t made = tree_.insert(*argument.find("element"), pid, *target, false);
            if (intoApplication) {
                std::vector<std::uint64_t>& windows = tree_.process(pid)->windows;
                windows.insert(windows.begin(), made);
            } else {
                tree_.element(*target)->children.push_back(made);
            }
            if (const JSON* select = argument.find("select");
                select != nullptr && select->isTrue()) {
                tree_.select(made);
            }
        }
    }
}

// A tab strip's "close tab" and "close other tabs": the children whose selection is `selected`.
void SimEffects::removeTabs(std::uint64_t strip, bool selected) {
    std::vector<std::uint64_t> doomed;
    for (std::uint64_t child : tree_.element(strip)->children) {
        if (selection(*tree_.element(child)) == selected) {
            doomed.push_back(child);
        }
    }
    for (std::uint64_t child : doomed) {
        tree_.remove(child);
    }
}

bool SimEffects::perform(std::uint64_t token, const std::string& action) {
    JSON::Object details{{"action", JSON(action)}, {"element", JSON(static_cast<double>(token))}};
    if (const SimElementTree::Element* e = tree_.element(token); e != nullptr && !e->name.empty()) {
        details["name"] = JSON(e->name);
    }
    if (!settings_.flag({"accessibility", "trusted"}) || !tree_.readable(token)) {
        details["performed"] = JSON(false);
        record_.record("ax_action", std::move(details));
        return false;
    }
    const SimElementTree::Element& e = *tree_.element(token);
    const SimElementTree::Action* chosen = actionOf(e, action);
    const bool builtinRaise = action == "AXRaise" && SimElementTree::role(e) == "AXWindow";
    const bool performed =
        (chosen != nullptr && !chosen->fails) || (chosen == nullptr && builtinRaise);
    details["performed"] = JSON(performed);
    record_.record("ax_action", std::move(details));
    if (!performed) {
        return false;
    }
    if (builtinRaise) {
        tree_.raise(token);
    }
    if (chosen != nullptr) {
        const JSON effects = chosen->does; // the effects may remove this element
        run(effects, token);
    }
    return true;
}

bool SimEffects::press(std::uint64_t token, const std::string& action) {
    const SimElementTree::Element* e = tree_.element(token);
    if (e == nullptr) {
        return false;
    }
    for (const SimElementTree::Action& a : e->actions) {
        if (a.name == action && !a.fails) {
            const JSON effects = a.does; // the effects may remove this element
            run(effects, token);
            return true;
        }
    }
    return false;
}

bool SimEffects::write(std::uint64_t token, const std::string& name, const PlatformValue& value) {
    JSON::Object details{{"attribute", JSON(name)},
                         {"element", JSON(static_cast<double>(token))},
                         {"value", SimValueCodec::toJSON(value)}};
    bool accepted = false;
    SimElementTree::Element* e = tree_.element(token);
    if (settings_.flag({"accessibility", "trusted"}) && tree_.readable(token) && !e->application) {
        if (!e->name.empty()) {
            details["name"] = JSON(e->name);
        }
        const bool isWindow = SimElementTree::role(*e) == "AXWindow";
        if (name == "AXFocused" && value.boolean()) {
            accepted = e->settable.value_or(true);
            SimElementTree::Process& owner = *tree_.process(e->pid);
            if (accepted && *value.boolean()) {
                tree_.focus(token);
            } else if (accepted && owner.focusedElement == token) {
                owner.focusedElement = 0;
            }
        } else if (name == "AXValue") {
            accepted = e->settable.value_or(SimElementTree::editable(*e));
            if (accepted) {
                e->attributes.insert_or_assign("AXValue", value);
            }
        } else if (isWindow &&
                   ((name == "AXPosition" && value.point()) || (name == "AXSize" && value.size()) ||
                    (name == "AXMinimized" && value.boolean()))) {
            accepted = true;
            e->attributes.insert_or_assign(name, value);
        } else if (isWindow && name == "AXMain" && value.boolean() && *value.boolean()) {
            accepted = true;
            tree_.raise(token);
        }
    }
    details["accepted"] = JSON(accepted);
    record_.record("ax_set", std::move(details));
    return accepted;
}

} // namespace corvane
