#pragma once

#include "platform/ControlResult.h"
#include "platform/PlatformValue.h"

#include <optional>
#include <string>
#include <variant>

namespace corvane {

// The Mac's automation script engine (volume, mute, players) and the automation permission check.
class MacScripting {
public:
    virtual ~MacScripting() = default;

    enum class Failure {
        CompileFailed,  // the text could not be made into a script
        ExecutionFailed // running it failed: an error, a refused permission, no answer
    };
    // The script's result as a list (a single value becomes a one-element list), or the failure.
    using Result = std::variant<PlatformValue::Array, Failure>;
    virtual Result run(const std::string& source) = 0;

    enum class Permission { Granted, Denied, NotDetermined };
    // Whether this process may already send automation events to the application, asked
    // without ever showing the permission prompt.
    virtual Permission automationPermission(const std::string& bundleID) const = 0;

    // A script run for its effect, whatever it returned.
    static ControlResult controlResult(const Result& result) {
        const Failure* failure = std::get_if<Failure>(&result);
        if (failure == nullptr) {
            return ControlResult::Done;
        }
        return *failure == Failure::CompileFailed ? ControlResult::NotSent : ControlResult::Refused;
    }
};

} // namespace corvane
