#pragma once

#include "actions/ObservationWindow.h"
#include "core/Clock.h"
#include "platform/AXElement.h"
#include "platform/Accessibility.h"

#include <QRectF>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// Finding the one window of an application that desktop control may look at, and the attribute
// reads every step of observing and acting shares. No state: the reads run wherever the caller
// runs them (on the main thread, or in an accessibility batch).
namespace DesktopWindows {

// Bounds every call to the observed application while its window is searched.
inline constexpr std::chrono::milliseconds messagingTimeout{200};
// An application listing more windows than this is not searched.
inline constexpr std::size_t maxWindows = 30;

// A string attribute, or the empty string when it is missing or of another kind.
std::string text(const Accessibility& accessibility, AXElement element, AXAttribute attribute);
// Position and size together; absent when either is missing or of another kind.
std::optional<QRectF> rect(const Accessibility& accessibility, AXElement element);
// A password field: its subrole or role says so.
bool secure(const Accessibility& accessibility, AXElement element);

// The application's focused window: "desktop_window_unavailable" when there is none,
// "desktop_protected_ui" when it is a system dialog.
AXElement safeWindow(Accessibility& accessibility, std::int32_t pid);

// The application's focused window (safeWindow) and its title, read together; what safeWindow
// throws is kept, to be thrown where the checks reach the window.
struct FrontWindow {
    AXElement window;
    std::string title;
    std::exception_ptr error;
};
FrontWindow frontWindow(Accessibility& accessibility, std::int32_t pid);
// The same, read where the accessibility backend makes its calls.
QCoro::Task<FrontWindow> awaitFrontWindow(Accessibility* accessibility, std::int32_t pid);

// The choice among candidate windows of the application `pid`: the focused one when given
// (refused when it belongs to another process or is a system dialog, unavailable when not
// usable); otherwise, unless any window is a system dialog, the main window or else the only
// usable standard window of the application. Throws "desktop_protected_ui" or
// "desktop_window_unavailable".
std::size_t observationWindowIndex(const std::vector<ObservationWindow>& windows,
                                   std::int32_t processID, std::optional<std::size_t> focused,
                                   std::optional<std::size_t> main);

// The window to observe, read from the application `pid`; every read checks `deadline` before and
// after and throws ObservationPreparationError once it has passed. Throws the codes of
// observationWindowIndex, and "desktop_window_unavailable" for more than maxWindows windows.
AXElement observationWindow(Accessibility& accessibility, const Clock& clock, std::int32_t pid,
                            Clock::MonotonicTime deadline);

} // namespace DesktopWindows

} // namespace corvane
