#include "actions/SystemActions.h"

#include "core/ContractError.h"

#include <algorithm>
#include <deque>
#include <limits>

namespace corvane::SystemActions {

namespace {

JSON emptyObject() {
    return JSON(JSON::Object{});
}

} // namespace

void check(const Platform& platform) {
    if (platform.sessionLock.state() != ScreenState::Unlocked) {
        throw ContractError("device_locked");
    }
    if (!platform.accessibility.isTrusted()) {
        throw ContractError("accessibility_permission_required");
    }
}

namespace {

std::vector<AXElement> elements(const std::optional<PlatformValue>& value, std::size_t limit) {
    std::vector<AXElement> result;
    const PlatformValue::Array* array = value ? value->array() : nullptr;
    if (array == nullptr) {
        return result;
    }
    result.reserve(std::min(array->size(), limit));
    for (const PlatformValue& child : *array) {
        const std::optional<AXElement> e = child.element();
        if (!e) {
            // A list that is not all elements is not a list of children.
            return {};
        }
        result.push_back(*e);
    }
    if (result.size() > limit) {
        result.resize(limit);
    }
    return result;
}

} // namespace

std::vector<AXElement> children(const Accessibility& accessibility, AXElement element) {
    return elements(accessibility.attribute(element, AXAttribute::Children),
                    std::numeric_limits<std::size_t>::max());
}

std::vector<AXElement> children(const Accessibility& accessibility, AXElement element,
                                std::size_t limit) {
    return elements(accessibility.children(element, limit), limit);
}

std::optional<std::string> text(const Accessibility& accessibility, AXElement element,
                                AXAttribute attribute) {
    const std::optional<PlatformValue> value = accessibility.attribute(element, attribute);
    if (!value || value->string() == nullptr) {
        return std::nullopt;
    }
    return *value->string();
}

Scan scan(const Accessibility& accessibility, const Clock& clock, AXElement root,
          std::size_t limit) {
    // Monotonic, so that a wall-clock change cannot cut a walk short or stretch it.
    const Clock::MonotonicTime deadline = clock.monotonicNow() + scanDeadline;
    std::deque<AXElement> queue{root};
    Scan result;
    while (!queue.empty() && result.nodes.size() < limit && clock.monotonicNow() < deadline) {
        const AXElement element = queue.front();
        queue.pop_front();
        result.nodes.push_back(element);
        const std::vector<AXElement> next = children(accessibility, element);
        queue.insert(queue.end(), next.begin(), next.end());
    }
    result.complete = queue.empty();
    return result;
}

QCoro::Task<JSON> lock(Platform platform) {
    if (platform.sessionLock.lockNeedsAccessibility()) {
        check(platform);
    } else if (platform.sessionLock.state() != ScreenState::Unlocked) {
        throw ContractError("device_locked");
    }
    // Named first: GCC 12 mishandles a co_await in a switch's condition.
    const SessionLock::LockResult result = co_await platform.sessionLock.lockNow();
    switch (result) {
    case SessionLock::LockResult::Locked:
        co_return JSON(JSON::Object{{"already_locked", JSON(false)}});
    case SessionLock::LockResult::Refused:
        throw ContractError("action_failed");
    case SessionLock::LockResult::NotConfirmed:
        break;
    }
    throw ContractError("lock_not_confirmed");
}

QCoro::Task<JSON> sleep(Platform platform) {
    if (platform.sessionLock.state() != ScreenState::Unlocked) {
        throw ContractError("device_locked");
    }
    const PowerSources::SleepOutcome outcome = co_await platform.powerSources.requestSleep();
    switch (outcome) {
    case PowerSources::SleepOutcome::Accepted:
        co_return emptyObject();
    case PowerSources::SleepOutcome::Unavailable:
        throw ContractError("sleep_unavailable");
    case PowerSources::SleepOutcome::Denied:
        break;
    }
    throw ContractError("sleep_request_denied");
}

QCoro::Task<JSON> focus(Platform platform, bool enabled) {
    check(platform);
    // The screen may lock, or trust go, while the control is sought: never press then.
    const FocusModes::Outcome outcome =
        co_await platform.focusModes.setDoNotDisturb(enabled, [platform] { check(platform); });
    switch (outcome) {
    case FocusModes::Outcome::Confirmed:
        co_return emptyObject();
    case FocusModes::Outcome::Unavailable:
        throw ContractError("focus_control_unavailable");
    case FocusModes::Outcome::Refused:
        throw ContractError("native_control_unavailable");
    case FocusModes::Outcome::NotConfirmed:
        break;
    }
    throw ContractError("focus_change_not_confirmed");
}

} // namespace corvane::SystemActions
