#include "actions/BrowserWindows.h"

#include "actions/SystemActions.h"
#include "core/ContractError.h"

#include <algorithm>

namespace corvane::BrowserWindows {

std::optional<Browser> find(const Platform& platform, std::string_view bundleID) {
    const std::vector<RunningApplication> running = platform.workspace.runningApplications();
    const auto found = std::find_if(running.begin(), running.end(),
                                    [&](const auto& app) { return app.bundleID == bundleID; });
    if (found == running.end()) {
        return std::nullopt;
    }
    Browser browser{found->pid, platform.accessibility.applicationElement(found->pid)};
    platform.accessibility.setMessagingTimeout(browser.application,
                                               SystemActions::messagingTimeout);
    return browser;
}

std::optional<std::vector<AXElement>> windows(const Accessibility& ax, AXElement application) {
    const std::optional<PlatformValue> value = ax.attribute(application, AXAttribute::Windows);
    const PlatformValue::Array* array = value ? value->array() : nullptr;
    if (array == nullptr) {
        return std::nullopt;
    }
    std::vector<AXElement> result;
    for (const PlatformValue& item : *array) {
        const std::optional<AXElement> window = item.element();
        if (!window) {
            return std::nullopt;
        }
        result.push_back(*window);
    }
    return result;
}

std::vector<AXElement> startingWindows(const Accessibility& ax, AXElement application,
                                       std::size_t limit) {
    // A browser that does not answer has not shown that it has no windows: closing nothing and
    // reporting success would hide that the tabs are all still open.
    std::optional<std::vector<AXElement>> list = windows(ax, application);
    if (!list) {
        throw ContractError("browser_window_unavailable");
    }
    if (list->size() > limit) {
        throw ContractError("browser_cleanup_limit_exceeded");
    }
    return std::move(*list);
}

bool showsSheet(const Accessibility& ax, AXElement window) {
    const std::vector<AXElement> kids = SystemActions::children(ax, window);
    return std::any_of(kids.begin(), kids.end(), [&](AXElement child) {
        const std::optional<AXRoleTerm> role = ax.role(child);
        return role && *role == AXRole::Sheet;
    });
}

bool passesWindowTest(const Accessibility& ax, AXElement window) {
    return ax.subrole(window) == AXSubrole::StandardWindow && !showsSheet(ax, window);
}

std::vector<AXElement> completeWalk(const Platform& platform, AXElement window) {
    SystemActions::Scan walk = SystemActions::scan(platform.accessibility, platform.clock, window,
                                                   SystemActions::browserScanLimit);
    if (!walk.complete) {
        throw ContractError("browser_cleanup_limit_exceeded");
    }
    return std::move(walk.nodes);
}

std::optional<AXElement> closeButton(const Accessibility& ax, AXElement window) {
    const std::optional<PlatformValue> value = ax.attribute(window, AXAttribute::CloseButton);
    return value ? value->element() : std::nullopt;
}

bool selected(const Accessibility& ax, AXElement tab) {
    const std::optional<PlatformValue> value = ax.attribute(tab, AXAttribute::Value);
    if (!value) {
        return false;
    }
    if (const std::optional<bool> b = value->boolean()) {
        return *b;
    }
    return value->number().value_or(0) != 0;
}

std::optional<bool> flag(const Accessibility& ax, AXElement element, AXAttribute attribute) {
    const std::optional<PlatformValue> value = ax.attribute(element, attribute);
    return value ? value->boolean() : std::nullopt;
}

bool contains(const std::vector<AXElement>& list, AXElement element) {
    return std::find(list.begin(), list.end(), element) != list.end();
}

namespace {

bool stillOpen(const Platform& platform, const Browser& browser,
               const std::vector<AXElement>& closing) {
    const std::optional<std::vector<AXElement>> now =
        windows(platform.accessibility, browser.application);
    if (!now) {
        // Unreadable: only a browser that has ended is known to have no windows left.
        const std::vector<RunningApplication> running = platform.workspace.runningApplications();
        return std::any_of(running.begin(), running.end(),
                           [&](const auto& app) { return app.pid == browser.pid; });
    }
    return std::any_of(closing.begin(), closing.end(),
                       [&](AXElement window) { return contains(*now, window); });
}

} // namespace

QCoro::Task<void> confirmWindowsClosed(Platform platform, Browser browser,
                                       std::vector<AXElement> closing) {
    for (int waits = 0; stillOpen(platform, browser, closing); ++waits) {
        if (waits == SystemActions::closeCheckLimit) {
            // The close was pressed and accepted; the browser is asking the person something.
            throw ContractError("browser_cleanup_pending_user_attention");
        }
        co_await platform.clock.sleep(SystemActions::closePollInterval);
    }
}

} // namespace corvane::BrowserWindows
