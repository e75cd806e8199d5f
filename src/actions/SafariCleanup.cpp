// Safari's tab cleanup: its windows through their close buttons, or every tab that its
// identifier proves unpinned through the tab's own close action.
#include "actions/BrowserWindows.h"
#include "actions/SystemActions.h"
#include "core/ContractError.h"

#include <QString>

#include <algorithm>

namespace corvane::SystemActions {

namespace {

using BrowserWindows::Browser;
using BrowserWindows::contains;

JSON emptyObject() {
    return JSON(JSON::Object{});
}

bool isTab(const Accessibility& ax, AXElement element) {
    const std::optional<std::string> identifier = text(ax, element, AXAttribute::Identifier);
    return identifier && identifier->starts_with(safariTabPrefix);
}

std::vector<AXElement> tabsAmong(const Accessibility& ax, const std::vector<AXElement>& walked) {
    std::vector<AXElement> tabs;
    std::copy_if(walked.begin(), walked.end(), std::back_inserter(tabs),
                 [&](AXElement e) { return isTab(ax, e); });
    return tabs;
}

std::optional<bool> pinnedNow(const Accessibility& ax, AXElement tab) {
    const std::optional<std::string> identifier = text(ax, tab, AXAttribute::Identifier);
    return identifier ? pinnedState(*identifier) : std::nullopt;
}

// The tab's first action that is the close action or is described as "close tab" in any letter
// case (an action of Safari's own).
std::optional<AXActionTerm> closeAction(const Accessibility& ax, AXElement tab) {
    const std::optional<std::vector<AXActionTerm>> actions = ax.actions(tab);
    if (!actions) {
        return std::nullopt;
    }
    for (const AXActionTerm& action : *actions) {
        if (action == AXAction::Close) {
            return action;
        }
        const std::optional<std::string> description = ax.actionDescription(tab, action);
        if (description &&
            QString::fromStdString(*description).toLower() == QStringLiteral("close tab")) {
            return action;
        }
    }
    return std::nullopt;
}

// The tabs of every window as Safari shows them now, read afresh: the window list must be
// readable and within the limit, every window pass the window test and be walked completely.
std::vector<AXElement> currentTabs(const Platform& platform, AXElement application) {
    const Accessibility& ax = platform.accessibility;
    const std::optional<std::vector<AXElement>> windows = BrowserWindows::windows(ax, application);
    if (!windows) {
        throw ContractError("browser_window_unavailable");
    }
    if (windows->size() > safariWindowLimit) {
        throw ContractError("browser_cleanup_limit_exceeded");
    }
    for (AXElement window : *windows) {
        if (!BrowserWindows::passesWindowTest(ax, window)) {
            throw ContractError("browser_cleanup_pending_user_attention");
        }
    }
    std::vector<AXElement> tabs;
    for (AXElement window : *windows) {
        const std::vector<AXElement> found =
            tabsAmong(ax, BrowserWindows::completeWalk(platform, window));
        tabs.insert(tabs.end(), found.begin(), found.end());
    }
    return tabs;
}

// Every tab to close, decided from one complete reading before anything is closed.
std::vector<AXElement> closeList(const Platform& platform, const std::vector<AXElement>& windows) {
    const Accessibility& ax = platform.accessibility;
    std::vector<AXElement> tabs;
    for (AXElement window : windows) {
        const std::vector<AXElement> found =
            tabsAmong(ax, BrowserWindows::completeWalk(platform, window));
        if (found.empty()) {
            throw ContractError("browser_tab_layout_unavailable");
        }
        tabs.insert(tabs.end(), found.begin(), found.end());
    }
    std::vector<AXElement> closing;
    for (AXElement tab : tabs) {
        const std::optional<bool> pinned = pinnedNow(ax, tab);
        if (!pinned) {
            throw ContractError("pinned_tab_detection_unverified");
        }
        if (*pinned) {
            continue;
        }
        if (!closeAction(ax, tab)) {
            throw ContractError("browser_tab_close_unavailable");
        }
        if (!contains(closing, tab)) {
            closing.push_back(tab);
        }
    }
    if (closing.size() > safariCloseLimit) {
        throw ContractError("browser_cleanup_limit_exceeded");
    }
    return closing;
}

// Reads the tabs again until `tab` is gone: a press that took no effect means Safari waits for
// the person; a tab that could not be pressed is a partial cleanup.
QCoro::Task<void> confirmTabClosed(Platform platform, AXElement application, AXElement tab,
                                   bool pressed) {
    co_await platform.clock.sleep(safariTabPause);
    for (int checks = 1; contains(currentTabs(platform, application), tab); ++checks) {
        if (checks == closeCheckLimit) {
            throw ContractError(pressed ? "browser_cleanup_pending_user_attention"
                                        : "browser_cleanup_partial");
        }
        co_await platform.clock.sleep(closePollInterval);
    }
}

QCoro::Task<JSON> closeUnpinnedTabs(Platform platform, Browser browser,
                                    std::vector<AXElement> windows) {
    Accessibility& ax = platform.accessibility;
    const std::vector<AXElement> closing = closeList(platform, windows);
    for (auto tab = closing.rbegin(); tab != closing.rend(); ++tab) {
        check(platform);
        if (!contains(currentTabs(platform, browser.application), *tab)) {
            continue; // closed meanwhile
        }
        if (pinnedNow(ax, *tab) != false) {
            throw ContractError("browser_tabs_changed");
        }
        const std::optional<AXActionTerm> action = closeAction(ax, *tab);
        const bool pressed = action && ax.perform(*tab, *action);
        co_await confirmTabClosed(platform, browser.application, *tab, pressed);
    }
    for (int waits = 0;; ++waits) {
        const std::vector<AXElement> tabs = currentTabs(platform, browser.application);
        if (std::none_of(closing.begin(), closing.end(),
                         [&](AXElement tab) { return contains(tabs, tab); })) {
            co_return emptyObject();
        }
        if (waits == closeCheckLimit) {
            throw ContractError("browser_cleanup_pending_user_attention");
        }
        co_await platform.clock.sleep(closePollInterval);
    }
}

QCoro::Task<JSON> closeWindows(Platform platform, Browser browser, std::vector<AXElement> windows) {
    std::vector<AXElement> buttons;
    for (AXElement window : windows) {
        const std::optional<AXElement> button =
            BrowserWindows::closeButton(platform.accessibility, window);
        if (!button) {
            throw ContractError("browser_tab_close_unavailable");
        }
        buttons.push_back(*button);
    }
    for (AXElement button : buttons) {
        check(platform);
        if (!platform.accessibility.perform(button, AXAction::Press)) {
            throw ContractError("native_control_unavailable");
        }
        co_await platform.clock.sleep(closePollInterval);
    }
    co_await BrowserWindows::confirmWindowsClosed(platform, browser, windows);
    co_return emptyObject();
}

} // namespace

std::optional<bool> pinnedState(std::string_view identifier) {
    if (!identifier.starts_with(safariTabPrefix)) {
        return std::nullopt;
    }
    std::string_view rest = identifier.substr(safariTabPrefix.size());
    std::optional<std::string_view> field;
    while (!rest.empty()) {
        const std::size_t end = rest.find('&');
        const std::string_view piece = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (piece.starts_with("isPinned=")) {
            if (field) {
                return std::nullopt; // two fields contradict or repeat: neither is proof
            }
            field = piece;
        }
    }
    if (field == "isPinned=true") {
        return true;
    }
    if (field == "isPinned=false") {
        return false;
    }
    return std::nullopt;
}

QCoro::Task<JSON> safariCleanup(Platform platform, bool keepPinned) {
    check(platform);
    const std::optional<Browser> browser = BrowserWindows::find(platform, safariBundleID);
    if (!browser) {
        co_return emptyObject();
    }
    const std::vector<AXElement> windows = BrowserWindows::startingWindows(
        platform.accessibility, browser->application, safariWindowLimit);
    for (AXElement window : windows) {
        if (!BrowserWindows::passesWindowTest(platform.accessibility, window)) {
            throw ContractError("browser_cleanup_pending_user_attention");
        }
    }
    if (keepPinned) {
        co_return co_await closeUnpinnedTabs(platform, *browser, windows);
    }
    co_return co_await closeWindows(platform, *browser, windows);
}

} // namespace corvane::SystemActions
