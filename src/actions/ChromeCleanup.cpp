// Chrome's tab cleanup: its windows through their close buttons, or, keeping the pinned tabs,
// each window in turn through a fresh tab, "Close Other Tabs" (which leaves pinned tabs alone)
// and "Close Tab" for the fresh one.
#include "actions/BrowserWindows.h"
#include "actions/SystemActions.h"
#include "core/ContractError.h"

#include <algorithm>

namespace corvane::SystemActions {

namespace {

using BrowserWindows::Browser;
using BrowserWindows::contains;

JSON emptyObject() {
    return JSON(JSON::Object{});
}

bool isTab(const Accessibility& ax, AXElement element) {
    const std::optional<AXRoleTerm> role = ax.role(element);
    return role == AXRole::RadioButton || role == AXRole::Tab;
}

bool isNewTabButton(const Accessibility& ax, AXElement element) {
    return ax.role(element) == AXRole::Button && text(ax, element, AXAttribute::Title) == "New Tab";
}

std::vector<AXElement> tabsAmong(const Accessibility& ax, const std::vector<AXElement>& walked) {
    std::vector<AXElement> tabs;
    std::copy_if(walked.begin(), walked.end(), std::back_inserter(tabs),
                 [&](AXElement e) { return isTab(ax, e); });
    return tabs;
}

std::optional<AXElement> newTabButton(const Accessibility& ax,
                                      const std::vector<AXElement>& walked) {
    const auto found = std::find_if(walked.begin(), walked.end(),
                                    [&](AXElement e) { return isNewTabButton(ax, e); });
    return found != walked.end() ? std::optional(*found) : std::nullopt;
}

std::optional<AXElement> titled(const Accessibility& ax, const std::vector<AXElement>& elements,
                                std::string_view title) {
    const auto found = std::find_if(elements.begin(), elements.end(), [&](AXElement e) {
        return text(ax, e, AXAttribute::Title) == title;
    });
    return found != elements.end() ? std::optional(*found) : std::nullopt;
}

void press(const Platform& platform, AXElement element) {
    check(platform);
    if (!platform.accessibility.perform(element, AXAction::Press)) {
        throw ContractError("native_control_unavailable");
    }
}

// Closes an opened menu without choosing; a menu that stays open changes nothing closed.
void dismiss(Accessibility& ax, AXElement menu) {
    ax.perform(menu, AXAction::Cancel);
}

struct MenuItem {
    AXElement menu;
    AXElement item;
};

// Chooses an item of an opened menu; a menu whose item could not be chosen is closed again.
void choose(const Platform& platform, const MenuItem& chosen) {
    check(platform);
    if (!platform.accessibility.perform(chosen.item, AXAction::Press)) {
        dismiss(platform.accessibility, chosen.menu);
        throw ContractError("native_control_unavailable");
    }
}

// Opens the menu bar's menu `menuName` and finds its item `itemName`.
MenuItem menuItem(const Platform& platform, AXElement menuBar, std::string_view menuName,
                  std::string_view itemName) {
    Accessibility& ax = platform.accessibility;
    const std::optional<AXElement> top = titled(ax, children(ax, menuBar), menuName);
    if (!top) {
        throw ContractError("browser_menu_unavailable");
    }
    press(platform, *top);
    const std::vector<AXElement> menus = children(ax, *top);
    for (AXElement menu : menus) {
        if (const std::optional<AXElement> item = titled(ax, children(ax, menu), itemName)) {
            return {menu, *item};
        }
    }
    for (AXElement menu : menus) {
        dismiss(ax, menu);
    }
    throw ContractError("browser_menu_unavailable");
}

void activateAndRaise(const Platform& platform, const Browser& browser, AXElement window) {
    // Activation may be refused or slow; raising the window is what the menus follow.
    platform.workspace.activate(browser.pid);
    if (!platform.accessibility.perform(window, AXAction::Raise)) {
        throw ContractError("browser_window_unavailable");
    }
}

QCoro::Task<JSON> closeWindows(Platform platform, Browser browser, std::vector<AXElement> windows) {
    // Every window's button is proven before the first one is pressed.
    for (AXElement window : windows) {
        if (!BrowserWindows::closeButton(platform.accessibility, window)) {
            throw ContractError("browser_window_unavailable");
        }
    }
    for (AXElement window : windows) {
        activateAndRaise(platform, browser, window);
        const std::optional<AXElement> button =
            BrowserWindows::closeButton(platform.accessibility, window);
        if (!button) {
            throw ContractError("browser_window_unavailable");
        }
        press(platform, *button);
    }
    co_await BrowserWindows::confirmWindowsClosed(platform, browser, windows);
    co_return emptyObject();
}

// What can be refused by reading, for every window before the first one is touched: complete
// walks, a "New Tab" button in each, and the two menus on the menu bar.
void provePinnedPath(const Platform& platform, AXElement menuBar,
                     const std::vector<AXElement>& windows) {
    const Accessibility& ax = platform.accessibility;
    for (AXElement window : windows) {
        if (!newTabButton(ax, BrowserWindows::completeWalk(platform, window))) {
            throw ContractError("browser_tab_layout_unavailable");
        }
    }
    const std::vector<AXElement> menus = children(ax, menuBar);
    if (!windows.empty() && (!titled(ax, menus, "Tab") || !titled(ax, menus, "File"))) {
        throw ContractError("browser_menu_unavailable");
    }
}

// One window: a fresh tab, "Close Other Tabs" around it, then "Close Tab" for the fresh tab.
QCoro::Task<void> keepPinnedIn(Platform platform, Browser browser, AXElement menuBar,
                               AXElement window) {
    Accessibility& ax = platform.accessibility;
    activateAndRaise(platform, browser, window);
    const std::vector<AXElement> walked = BrowserWindows::completeWalk(platform, window);
    const std::vector<AXElement> before = tabsAmong(ax, walked);
    const std::optional<AXElement> newTab = newTabButton(ax, walked);
    if (!newTab) {
        throw ContractError("browser_tab_layout_unavailable");
    }
    press(platform, *newTab);
    co_await platform.clock.sleep(chromeNewTabWait);

    std::vector<AXElement> fresh;
    for (AXElement tab : tabsAmong(ax, BrowserWindows::completeWalk(platform, window))) {
        if (!contains(before, tab)) {
            fresh.push_back(tab);
        }
    }
    if (fresh.size() != 1 || !BrowserWindows::selected(ax, fresh.front())) {
        throw ContractError("browser_tabs_changed");
    }
    const AXElement freshTab = fresh.front();

    const MenuItem closeOthers = menuItem(platform, menuBar, "Tab", "Close Other Tabs");
    if (BrowserWindows::flag(ax, closeOthers.item, AXAttribute::Enabled) == true) {
        choose(platform, closeOthers);
    } else {
        dismiss(ax, closeOthers.menu);
    }
    co_await platform.clock.sleep(chromeMenuWait);

    // Still available means other closable tabs remain: something asked the person first.
    const MenuItem again = menuItem(platform, menuBar, "Tab", "Close Other Tabs");
    const std::optional<bool> othersLeft =
        BrowserWindows::flag(ax, again.item, AXAttribute::Enabled);
    dismiss(ax, again.menu);
    if (othersLeft != false || !BrowserWindows::selected(ax, freshTab) ||
        BrowserWindows::showsSheet(ax, window)) {
        throw ContractError("browser_cleanup_pending_user_attention");
    }

    const MenuItem closeTab = menuItem(platform, menuBar, "File", "Close Tab");
    choose(platform, closeTab);
    co_await platform.clock.sleep(chromeMenuWait);
    // A window whose last tab closed has gone, and with it the fresh tab.
    if (contains(tabsAmong(ax, BrowserWindows::completeWalk(platform, window)), freshTab)) {
        throw ContractError("browser_cleanup_pending_user_attention");
    }
}

QCoro::Task<JSON> keepPinnedTabs(Platform platform, Browser browser, AXElement menuBar,
                                 std::vector<AXElement> windows) {
    provePinnedPath(platform, menuBar, windows);
    for (std::size_t i = 0; i < windows.size(); ++i) {
        if (i > 0) {
            // The first window passed these at the start; a later one may have changed since.
            check(platform);
            if (!BrowserWindows::passesWindowTest(platform.accessibility, windows[i])) {
                throw ContractError("browser_cleanup_pending_user_attention");
            }
        }
        co_await keepPinnedIn(platform, browser, menuBar, windows[i]);
    }
    co_return emptyObject();
}

} // namespace

QCoro::Task<JSON> chromeCleanup(Platform platform, bool keepPinned) {
    check(platform);
    const std::optional<Browser> browser = BrowserWindows::find(platform, chromeBundleID);
    if (!browser) {
        co_return emptyObject();
    }
    const Accessibility& ax = platform.accessibility;
    const std::vector<AXElement> windows =
        BrowserWindows::startingWindows(ax, browser->application, chromeWindowLimit);
    const std::optional<PlatformValue> menuBarValue =
        ax.attribute(browser->application, AXAttribute::MenuBar);
    const std::optional<AXElement> menuBar = menuBarValue ? menuBarValue->element() : std::nullopt;
    if (!menuBar) {
        throw ContractError("browser_menu_unavailable");
    }
    for (AXElement window : windows) {
        check(platform);
        if (!BrowserWindows::passesWindowTest(ax, window)) {
            throw ContractError("browser_cleanup_pending_user_attention");
        }
    }
    if (keepPinned) {
        co_return co_await keepPinnedTabs(platform, *browser, *menuBar, windows);
    }
    co_return co_await closeWindows(platform, *browser, windows);
}

} // namespace corvane::SystemActions
