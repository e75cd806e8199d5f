#include "sim/SimControlCommands.h"

#include "sim/SimModel.h"
#include "sim/SimTabStrips.h"
#include "sim/SimValueCodec.h"

#include <QString>
#include <QStringList>

#include <cmath>
#include <functional>
#include <map>
#include <stdexcept>

namespace corvane {

namespace {

// A refused command: the message goes back to the caller.
class CommandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

JSON ok(JSON::Object members = {}) {
    members["ok"] = JSON(true);
    return JSON(std::move(members));
}

JSON refusal(const std::string& message) {
    return JSON(JSON::Object{{"ok", JSON(false)}, {"error", JSON(message)}});
}

const JSON& required(const JSON& command, std::string_view key) {
    const JSON* value = command.find(key);
    if (value == nullptr) {
        throw CommandError(std::string(key) + ": missing");
    }
    return *value;
}

bool booleanMember(const JSON& command, std::string_view key) {
    const JSON& value = required(command, key);
    if (!value.isBool()) {
        throw CommandError(std::string(key) + ": expected a boolean");
    }
    return value.isTrue();
}

double integerMember(const JSON& command, std::string_view key, double min, double max) {
    const std::optional<double> value = required(command, key).number();
    if (!value || std::floor(*value) != *value || *value < min || *value > max) {
        throw CommandError(std::string(key) + ": expected an integer from " + JSON(min).data() +
                           " to " + JSON(max).data());
    }
    return *value;
}

std::vector<JSON> pathOf(const JSON& path) {
    std::vector<JSON> segments;
    if (const std::string* text = path.string()) {
        for (const QString& part : QString::fromStdString(*text).split(QLatin1Char('.'))) {
            segments.emplace_back(part.toStdString());
        }
        return segments;
    }
    if (const JSON::Array* array = path.array()) {
        for (const JSON& part : *array) {
            if (!part.isString() && !part.isNumber()) {
                throw CommandError("path: expected member names and array indexes");
            }
            segments.push_back(part);
        }
        return segments;
    }
    throw CommandError("path: expected \"a.b.c\" or an array of names and indexes");
}

// The instances a command names by "pid" (that one) or "bundle_id" (every instance).
std::vector<std::int32_t> targets(const SimApplications& apps, const JSON& command) {
    if (command.find("pid") != nullptr) {
        const auto pid = static_cast<std::int32_t>(integerMember(command, "pid", 1, 2147483647.0));
        if (!apps.bundleIdentifier(pid)) {
            throw CommandError("pid: no running application has process id " + std::to_string(pid));
        }
        return {pid};
    }
    if (const std::string* bundleID = command.stringMember("bundle_id")) {
        std::vector<std::int32_t> pids = apps.pidsOf(*bundleID);
        if (pids.empty()) {
            throw CommandError("bundle_id: " + *bundleID + " is not running");
        }
        return pids;
    }
    throw CommandError("expected \"pid\" or \"bundle_id\"");
}

// Effects the channel may run: on named live elements only, every one checked before any runs.
void checkEffects(const SimElementTree& tree, const JSON& effects) {
    const JSON::Array* list = effects.array();
    if (list == nullptr) {
        throw CommandError("does: expected an array of effects");
    }
    for (std::size_t i = 0; i < list->size(); ++i) {
        const JSON::Object* effect = (*list)[i].object();
        const std::string where = "does[" + std::to_string(i) + "]";
        if (effect == nullptr || effect->size() != 1) {
            throw CommandError(where + ": expected an object with exactly one effect");
        }
        const auto& [kind, argument] = *effect->begin();
        if (kind == "insert" || kind == "lock_screen") {
            throw CommandError(where + "." + kind + ": not available on the control channel");
        }
        const std::string* ref =
            kind == "set" ? argument.stringMember("target") : argument.string();
        if (ref == nullptr || !tree.named(*ref)) {
            throw CommandError(where + "." + kind + ": expected the id of a live element");
        }
        if (kind == "set" &&
            (argument.stringMember("attribute") == nullptr || argument.find("value") == nullptr)) {
            throw CommandError(where + ".set: expected target, attribute and value");
        }
        if (kind == "set") {
            SimValueCodec::validate(*argument.find("value"), where + ".set.value", true);
        }
        if (kind != "set" && kind != "toggle" && kind != "remove" && kind != "show" &&
            kind != "hide" && kind != "select" && kind != "focus" && kind != "raise" &&
            kind != "remove_selected" && kind != "remove_unselected" && kind != "quit" &&
            !SimTabStrips::isEffect(kind)) {
            throw CommandError(where + "." + kind + ": unknown effect");
        }
    }
}

void setSetting(SimModel& model, std::vector<JSON> path, JSON value) {
    model.with([&](SimParts& mac) { mac.settings.setAt(path, std::move(value)); });
}

using Handler = std::function<JSON(SimModel&, const JSON&)>;

const std::map<std::string, Handler, std::less<>>& handlers() {
    static const std::map<std::string, Handler, std::less<>> table = {
        {"ping",
         [](SimModel&, const JSON&) {
             return ok();
         }},
        {"state",
         [](SimModel& model, const JSON&) {
             return ok({{"state", model.dump()}});
         }},
        {"events",
         [](SimModel& model, const JSON&) {
             return ok({{"events", JSON(JSON::Array(model.events()))}});
         }},
        {"clear_events",
         [](SimModel& model, const JSON&) {
             model.with([](SimParts& mac) { mac.record.clear(); });
             return ok();
         }},
        {"lock",
         [](SimModel& model, const JSON&) {
             model.lockScreen();
             return ok();
         }},
        {"unlock",
         [](SimModel& model, const JSON&) {
             model.unlockScreen();
             return ok();
         }},
        {"sleep",
         [](SimModel& model, const JSON&) {
             model.notifySleep();
             return ok();
         }},
        {"wake",
         [](SimModel& model, const JSON&) {
             model.notifyWake();
             return ok();
         }},
        {"session",
         [](SimModel& model, const JSON& command) {
             model.notifySession(booleanMember(command, "active"));
             return ok();
         }},
        {"set",
         [](SimModel& model, const JSON& command) {
             setSetting(model, pathOf(required(command, "path")), required(command, "value"));
             return ok();
         }},
        {"patch",
         [](SimModel& model, const JSON& command) {
             const JSON& patch = required(command, "patch");
             model.with([&](SimParts& mac) { mac.settings.patch(patch); });
             return ok();
         }},
        {"volume",
         [](SimModel& model, const JSON& command) {
             setSetting(model, {JSON("audio"), JSON("volume")},
                        JSON(integerMember(command, "level", 0, 100)));
             return ok();
         }},
        {"mute",
         [](SimModel& model, const JSON& command) {
             setSetting(model, {JSON("audio"), JSON("muted")},
                        JSON(booleanMember(command, "muted")));
             return ok();
         }},
        {"battery",
         [](SimModel& model, const JSON& command) {
             const double percent = integerMember(command, "percent", 0, 100);
             const bool charging = booleanMember(command, "charging");
             JSON source(JSON::Object{
                 {"Type", JSON("InternalBattery")},
                 {"Current Capacity", JSON(percent)},
                 {"Max Capacity", JSON(100)},
                 {"Is Charging", JSON(charging)},
                 {"Power Source State", JSON(charging ? "AC Power" : "Battery Power")}});
             setSetting(model, {JSON("power"), JSON("sources")},
                        JSON(JSON::Array{std::move(source)}));
             return ok();
         }},
        {"launch",
         [](SimModel& model, const JSON& command) {
             const bool activate =
                 command.find("activate") != nullptr && booleanMember(command, "activate");
             const std::int32_t pid = model.with([&](SimParts& mac) {
                 std::string path;
                 if (const std::string* bundleID = command.stringMember("bundle_id")) {
                     std::optional<std::string> found = mac.apps.applicationPath(*bundleID);
                     if (!found) {
                         throw CommandError("bundle_id: " + *bundleID + " is not installed");
                     }
                     path = *found;
                 } else if (const std::string* given = command.stringMember("path")) {
                     path = *given;
                 } else {
                     throw CommandError("expected \"bundle_id\" or \"path\"");
                 }
                 return mac.apps.open(path, activate);
             });
             return ok({{"pid", JSON(pid)}});
         }},
        {"quit",
         [](SimModel& model, const JSON& command) {
             model.with([&](SimParts& mac) {
                 for (std::int32_t pid : targets(mac.apps, command)) {
                     mac.apps.forceQuit(pid);
                 }
             });
             return ok();
         }},
        {"frontmost",
         [](SimModel& model, const JSON& command) {
             model.with(
                 [&](SimParts& mac) { mac.apps.setFrontmost(targets(mac.apps, command).front()); });
             return ok();
         }},
        {"ax",
         [](SimModel& model, const JSON& command) {
             const JSON& effects = required(command, "does");
             model.with([&](SimParts& mac) {
                 checkEffects(mac.tree, effects);
                 mac.effects.run(effects, 0);
             });
             return ok();
         }},
    };
    return table;
}

} // namespace

std::string SimControlCommands::handleLine(std::string_view line) {
    JSON answer;
    try {
        answer = handle(JSON::parse(line));
    } catch (const JSONReadError& error) {
        answer = refusal(std::string("not a JSON command: ") + error.what());
    }
    try {
        return answer.data();
    } catch (const JSONWriteError&) {
        return refusal("the answer cannot be written as JSON").data();
    }
}

JSON SimControlCommands::handle(const JSON& command) {
    const std::string* name = command.stringMember("cmd");
    if (!command.isObject() || name == nullptr) {
        return refusal("expected an object with a string member \"cmd\"");
    }
    // Nothing a command throws may leave the channel: its slot runs in the event loop, where an
    // escaping exception ends the process.
    try {
        return dispatch(*name, command);
    } catch (const std::exception& error) {
        return refusal(error.what());
    } catch (...) {
        return refusal("the command failed");
    }
}

JSON SimControlCommands::dispatch(const std::string& name, const JSON& command) {
    auto handler = handlers().find(name);
    if (handler == handlers().end()) {
        throw CommandError("unknown command " + JSON(name).data());
    }
    return handler->second(model_, command);
}

} // namespace corvane
