#include "actions/DesktopConsent.h"

namespace corvane::DesktopConsent {

std::string_view statusText(bool desktopWide, bool accessibilityTrusted, ScreenState screen) {
    if (!desktopWide) {
        return "Desktop control is off";
    }
    if (!accessibilityTrusted) {
        return "Desktop control needs Accessibility access";
    }
    if (screen != ScreenState::Unlocked) {
        return "Desktop control paused while this Mac is locked or inactive";
    }
    return "Desktop control enabled";
}

} // namespace corvane::DesktopConsent
