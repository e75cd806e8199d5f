#pragma once

#include "core/JSON.h"
#include "platform/Platform.h"

#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The actions that change the session (lock the screen, sleep, the Do Not Disturb Focus) and the
// accessibility-tree helpers that every accessibility-driven action shares. None trusts its own
// request: lock and Focus read the platform back until the change shows, and say so when it does
// not. Main thread only; no state survives a call.
namespace SystemActions {

inline constexpr std::chrono::milliseconds messagingTimeout{200};
inline constexpr std::chrono::milliseconds scanDeadline{2000};

// The shared precondition: "device_locked" unless the screen reads unlocked, then
// "accessibility_permission_required" unless the process is trusted.
void check(const Platform& platform);

// The element's children; empty when unreadable or of another type.
std::vector<AXElement> children(const Accessibility& accessibility, AXElement element);
// The element's first `limit` children, read no further than that where the backend can.
std::vector<AXElement> children(const Accessibility& accessibility, AXElement element,
                                std::size_t limit);
// A string attribute; absent when unreadable or not a string.
std::optional<std::string> text(const Accessibility& accessibility, AXElement element,
                                AXAttribute attribute);

struct Scan {
    std::vector<AXElement> nodes;
    // Every reachable element was visited before the limit or the deadline stopped the walk.
    bool complete = false;
};
// Breadth-first from `root` (which counts as a node), at most `limit` nodes and scanDeadline of
// monotonic time: a hung or huge tree cannot hold the main thread.
Scan scan(const Accessibility& accessibility, const Clock& clock, AXElement root,
          std::size_t limit);

// {"already_locked": false} once the session reads locked; "lock_not_confirmed" when it does not
// within the session lock's budget; "action_failed" when the request cannot be made.
QCoro::Task<JSON> lock(Platform platform);
// {} once the system accepted the request; not confirmed. Needs no accessibility trust.
QCoro::Task<JSON> sleep(Platform platform);
// Switches Do Not Disturb and reads it back; {} also when it already had the wanted value. Never
// presses on a locked screen or without trust.
QCoro::Task<JSON> focus(Platform platform, bool enabled);

// Browser tab cleanup: Safari and Chrome, driven only through their accessibility trees.
inline constexpr std::string_view safariBundleID = "com.apple.Safari";
inline constexpr std::string_view chromeBundleID = "com.google.Chrome";
inline constexpr std::string_view safariTabPrefix = "TabBarTab?";
inline constexpr std::size_t safariWindowLimit = 20;
inline constexpr std::size_t chromeWindowLimit = 10;
inline constexpr std::size_t safariCloseLimit = 80;
inline constexpr std::size_t browserScanLimit = 600;
// A close is confirmed by reading the tree again: up to 10 checks 100 ms apart (Safari's tab
// confirmation starts with one pause of 80 ms after the press).
inline constexpr std::chrono::milliseconds closePollInterval{100};
inline constexpr int closeCheckLimit = 10;
inline constexpr std::chrono::milliseconds safariTabPause{80};
inline constexpr std::chrono::milliseconds chromeNewTabWait{200};
inline constexpr std::chrono::milliseconds chromeMenuWait{150};

// The pinned state a Safari tab identifier states: "TabBarTab?" followed by "&"-separated fields
// of which exactly one starts with "isPinned=", and that one is "isPinned=true" or
// "isPinned=false". Absent for anything else.
std::optional<bool> pinnedState(std::string_view identifier);
// Closes Safari's windows or, with `keepPinned`, every tab that is not pinned; {} also when Safari
// is not running. Everything that can be refused by reading is refused before the first close,
// and every close is confirmed by reading again.
QCoro::Task<JSON> safariCleanup(Platform platform, bool keepPinned);
// Closes Chrome's windows or, with `keepPinned`, every tab but the pinned ones, through a fresh
// tab, "Close Other Tabs" and "Close Tab" in each window.
QCoro::Task<JSON> chromeCleanup(Platform platform, bool keepPinned);

} // namespace SystemActions

} // namespace corvane
