#pragma once

#include "platform/PlatformValue.h"

#include <cstdint>
#include <optional>

namespace corvane {

// The console records, the console-locked flag and the window-server session of the user that
// runs the agent: the raw inputs of the lock-state verdict. Values are passed on as the platform
// gives them, so a genuine boolean stays apart from the numbers 0 and 1.
class MacConsoleSession {
public:
    virtual ~MacConsoleSession() = default;

    // The registry root's two properties; each absent when the property is missing. The whole
    // result is absent when the registry root cannot be obtained.
    struct RootProperties {
        std::optional<PlatformValue> consoleUsers;  // "IOConsoleUsers"
        std::optional<PlatformValue> consoleLocked; // "IOConsoleLocked"
    };
    virtual std::optional<RootProperties> rootProperties() const = 0;

    // The current session dictionary, as given (the caller checks that it is a dictionary);
    // absent when there is no graphical session.
    virtual std::optional<PlatformValue> sessionDictionary() const = 0;

    // The agent process's real user id.
    virtual std::uint32_t userID() const = 0;

    // Whether the legacy lock tool's executable exists (diagnostics only).
    virtual bool legacyLockToolPresent() const = 0;
};

} // namespace corvane
