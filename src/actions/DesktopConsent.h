#pragma once

#include "platform/ScreenState.h"

#include <string_view>

namespace corvane {

// What a person is shown about desktop control wherever it is turned on (the window's Connection
// page, `velto desktop`): the consent question, and the one-line status.
namespace DesktopConsent {

inline constexpr std::string_view title = "Allow Lumo-connected callers to control this Mac?";
inline constexpr std::string_view detail =
    "Desktop control covers applications across this Mac, including System Settings. Connected "
    "callers can read window contents, click, scroll and type, which can change files, send "
    "information or run code in capable apps. Content passes through Velto's relay. Access stays "
    "enabled across restarts and resumes after you unlock this Mac. Pause it anytime in Velto's "
    "menu. Password prompts and the lock screen remain yours to handle.";
inline constexpr std::string_view confirmButton = "Enable desktop control";

// The status line, first match wins: off without desktop-wide consent, then the missing
// accessibility permission, then a screen that is not unlocked.
std::string_view statusText(bool desktopWide, bool accessibilityTrusted, ScreenState screen);

} // namespace DesktopConsent

} // namespace corvane
