#pragma once

#include "platform/Platform.h"

#include <qcoro/qcorotask.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// What the Safari and Chrome tab cleanups share: the browser's application element, its windows,
// the window test, complete walks and the confirmation that windows closed. Elements are always
// compared by identity (the platform's element equality), never by title or position.
namespace BrowserWindows {

struct Browser {
    std::int32_t pid = 0;
    AXElement application;
};

// The first running application with this bundle identifier, its element bounded by the
// messaging timeout; absent when none runs.
std::optional<Browser> find(const Platform& platform, std::string_view bundleID);

// The application's windows; absent when it cannot be read as a list of elements.
std::optional<std::vector<AXElement>> windows(const Accessibility& ax, AXElement application);
// The windows at the start of a cleanup: "browser_window_unavailable" when they cannot be read,
// "browser_cleanup_limit_exceeded" beyond `limit`.
std::vector<AXElement> startingWindows(const Accessibility& ax, AXElement application,
                                       std::size_t limit);

// A window the cleanup may act on: a standard window showing no sheet.
bool passesWindowTest(const Accessibility& ax, AXElement window);
bool showsSheet(const Accessibility& ax, AXElement window);

// Every element of the window, which must be read completely within the walk's limits
// ("browser_cleanup_limit_exceeded" otherwise).
std::vector<AXElement> completeWalk(const Platform& platform, AXElement window);

// The window's close button; absent when missing or not an element.
std::optional<AXElement> closeButton(const Accessibility& ax, AXElement window);

// A tab's selection: its value a genuine true or a number other than 0 (radio buttons report 1).
bool selected(const Accessibility& ax, AXElement tab);
// A genuine boolean attribute (enabled); absent for anything else.
std::optional<bool> flag(const Accessibility& ax, AXElement element, AXAttribute attribute);

bool contains(const std::vector<AXElement>& list, AXElement element);

// Waits until none of `closing` is among the browser's windows: checked at once and after each of
// up to closeCheckLimit waits, else "browser_cleanup_pending_user_attention". A list that cannot
// be read confirms nothing while the browser still runs.
QCoro::Task<void> confirmWindowsClosed(Platform platform, Browser browser,
                                       std::vector<AXElement> closing);

} // namespace BrowserWindows

} // namespace corvane
