#pragma once

#include "platform/LoginItems.h"
#include "platform/UserDefaults.h"

#include <stdexcept>
#include <string>
#include <string_view>

namespace corvane {

// Start at login: the one-time automatic registration and the person's own choice, through the
// LoginItems port. Main thread.
class StartupSettings {
public:
    static constexpr std::string_view attemptedKey = "velto-login-registration-attempted";

    // `programPath` is where the running program lives, which decides whether it is installed.
    StartupSettings(LoginItems& items, UserDefaults& defaults, std::string programPath);

    // Registers the program once, the first time it runs from an installed location; a refusal is
    // ignored (the marker is set first, so it is not retried).
    void enableOnceIfInstalled();
    // The person's choice. Throws std::runtime_error when the platform refuses the change.
    void setEnabled(bool on);
    LoginItems::Status status() const { return items_.status(); }

    // Installed: an application bundle or a program in a "bin" folder, not run from a mounted
    // disk image or a translocated copy (registering those would point at a path that vanishes).
    static bool installedLocation(std::string_view path);

private:
    LoginItems& items_;
    UserDefaults& defaults_;
    std::string programPath_;
};

} // namespace corvane
