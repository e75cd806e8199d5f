#include "CorvanePlatform/sim/SimControlCommands.h"

#include "CorvanePlatform/sim/SimModel.h"
#include "CorvanePlatform/sim/SimScenarioError.h"
#include "CorvanePlatform/sim/SimValueCodec.h"

#include <QString>
#include <QStringList>

#include <cmath>
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
    try {
        auto guard = model_.lock();
        return dispatch(*name, command);
    } catch (const CommandError& error) {
        return refusal(error.what());
    } catch (const SimScenarioError& error) {
        return refusal(error.what());
    } catch (const std::runtime_error& error) {
        return refusal(error.what());
    }
}

std::int32_t SimControlCommands::targetPid(const JSON& command) const {
    if (command.find("pid") != nullptr) {
        const auto pid = static_cast<std::int32_t>(integerMember(command, "pid", 1, 2147483647.0));
        if (!model_.bundleIdentifier(pid)) {
            throw CommandError("pid: no running application has process id " + std::to_string(pid));
        }
        return pid;
    }
    if (const std::string* bundleID = command.stringMember("bundle_id")) {
        const std::vector<std::int32_t> pids = model_.pidsOf(*bundleID);
        if (pids.empty()) {
            throw CommandError("bundle_id: " + *bundleID + " is not running");
        }
        return pids.front();
    }
    throw CommandError("expected \"pid\" or \"bundle_id\"");
}

JSON SimControlCommands::dispatch(const std::string& name, const JSON& command) {
    if (name == "ping") {
        return ok();
    }
    if (name == "state") {
        return ok({{"state", model_.dump()}});
    }
    if (name == "events") {
        return ok({{"events", JSON(JSON::Array(model_.events()))}});
    }
    if (name == "clear_events") {
        model_.clearEvents();
        return ok();
    }
    if (name == "lock") {
        model_.lockScreen();
        return ok();
    }
    if (name == "unlock") {
        model_.unlockScreen();
        return ok();
    }
    if (name == "sleep") {
        model_.notifySleep();
        return ok();
    }
    if (name == "wake") {
        model_.notifyWake();
        return ok();
    }
    if (name == "session") {
        model_.notifySession(booleanMember(command, "active"));
        return ok();
    }
    if (name == "set") {
        model_.setAt(pathOf(required(command, "path")), required(command, "value"));
        return ok();
    }
    if (name == "patch") {
        model_.patch(required(command, "patch"));
        return ok();
    }
    if (name == "volume") {
        model_.setAt({JSON("audio"), JSON("volume")},
                     JSON(integerMember(command, "level", 0, 100)));
        return ok();
    }
    if (name == "mute") {
        model_.setAt({JSON("audio"), JSON("muted")}, JSON(booleanMember(command, "muted")));
        return ok();
    }
    if (name == "battery") {
        const double percent = integerMember(command, "percent", 0, 100);
        const bool charging = booleanMember(command, "charging");
        JSON source(
            JSON::Object{{"Type", JSON("InternalBattery")},
                         {"Current Capacity", JSON(percent)},
                         {"Max Capacity", JSON(100)},
                         {"Is Charging", JSON(charging)},
                         {"Power Source State", JSON(charging ? "AC Power" : "Battery Power")}});
        model_.setAt({JSON("power"), JSON("sources")}, JSON(JSON::Array{std::move(source)}));
        return ok();
    }
    if (name == "launch") {
        std::string path;
        if (const std::string* bundleID = command.stringMember("bundle_id")) {
            std::optional<std::string> found = model_.applicationPath(*bundleID);
            if (!found) {
                throw CommandError("bundle_id: " + *bundleID + " is not installed");
            }
            path = *found;
        } else if (const std::string* given = command.stringMember("path")) {
            path = *given;
        } else {
            throw CommandError("expected \"bundle_id\" or \"path\"");
        }
        const bool activate =
            command.find("activate") != nullptr && booleanMember(command, "activate");
        return ok({{"pid", JSON(model_.open(path, activate))}});
    }
    if (name == "quit") {
        const std::int32_t pid = targetPid(command);
        std::vector<std::int32_t> pids{pid};
        if (command.find("pid") == nullptr) {
            pids = model_.pidsOf(*command.stringMember("bundle_id"));
        }
        for (std::int32_t each : pids) {
            model_.forceQuit(each);
        }
        return ok();
    }
    if (name == "frontmost") {
        model_.setFrontmost(targetPid(command));
        return ok();
    }
    if (name == "ax") {
        const JSON& effects = required(command, "does");
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
            const std::string* ref = kind == "set"      ? argument.stringMember("target")
                                     : kind == "insert" ? nullptr
                                                        : argument.string();
            if (kind == "insert" || kind == "lock_screen") {
                throw CommandError(where + "." + kind + ": not available on the control channel");
            }
            if (ref == nullptr || !model_.named(*ref)) {
                throw CommandError(where + "." + kind + ": expected the id of a live element");
            }
            if (kind == "set" && (argument.stringMember("attribute") == nullptr ||
                                  argument.find("value") == nullptr)) {
                throw CommandError(where + ".set: expected target, attribute and value");
            }
            if (kind == "set") {
                SimValueCodec::validate(*argument.find("value"), where + ".set.value", true);
            }
            if (kind != "set" && kind != "toggle" && kind != "remove" && kind != "show" &&
                kind != "hide" && kind != "select" && kind != "focus" &&
                kind != "remove_selected" && kind != "remove_unselected" && kind != "quit") {
                throw CommandError(where + "." + kind + ": unknown effect");
            }
        }
        model_.applyEffects(effects);
        return ok();
    }
    throw CommandError("unknown command " + JSON(name).data());
}

} // namespace corvane
