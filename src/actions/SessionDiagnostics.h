#pragma once

#include "core/JSON.h"
#include "platform/Platform.h"

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// A snapshot of the session facts behind the lock-state verdict, for diagnostics only. Nothing
// later fills in the lock state or enables live actions from it.
struct SessionDiagnostics {
    std::string macOS;
    bool guiSessionAvailable = false;
    std::optional<bool> sessionOnConsole;
    std::optional<bool> sessionLoginDone;
    bool legacyLockExecutablePresent = false;
    bool accessibilityGranted = false;
    std::string lockState = "unknown_unverified";
    bool liveActionsEnabled = false;

    // Reads the platform afresh. Never fails.
    static SessionDiagnostics capture(Platform& platform);

    // The record as a JSON object; the two optional flags are left out when absent.
    JSON toJSON() const;
    // The same object written with the keys in field order (the JSON writer orders by key).
    std::string encoded() const;
    // Accepts exactly the keys written above, the optional flags may be missing. Throws
    // JSONReadError when a required key is missing or a value has the wrong type.
    static SessionDiagnostics fromJSON(const JSON& value);
    static SessionDiagnostics decode(std::string_view text);

    friend bool operator==(const SessionDiagnostics&, const SessionDiagnostics&) = default;
};

} // namespace corvane
