#include "CorvaneNative/SystemActions.h"

#include "CorvaneCore/ContractError.h"
#include "CorvaneNative/LockStateReader.h"

#include <deque>

namespace corvane::SystemActions {

namespace {

JSON emptyObject() {
    return JSON(JSON::Object{});
}

} // namespace

void check(const Platform& platform) {
    if (LockStateReader::read(platform.console) != ScreenState::Unlocked) {
        throw ContractError("device_locked");
    }
    if (!platform.accessibility.isTrusted()) {
        throw ContractError("accessibility_permission_required");
    }
}

std::vector<AXElement> children(const Accessibility& accessibility, AXElement element) {
    std::vector<AXElement> result;
    const std::optional<PlatformValue> value =
        accessibility.attribute(element, AXAttribute::Children);
    const PlatformValue::Array* array = value ? value->array() : nullptr;
    if (array == nullptr) {
        return result;
    }
    result.reserve(array->size());
    for (const PlatformValue& child : *array) {
        const std::optional<AXElement> e = child.element();
        if (!e) {
            // A list that is not all elements is not a list of children.
            return {};
        }
        result.push_back(*e);
    }
    return result;
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
    check(platform);
    if (!platform.input.pressKeyInSession(lockKey, lockModifiers)) {
        throw ContractError("action_failed");
    }
    // Only a reading of "locked" confirms: inactive or unknown may be anything.
    for (int waits = 0;; ++waits) {
        if (LockStateReader::read(platform.console) == ScreenState::Locked) {
            co_return JSON(JSON::Object{{"already_locked", JSON(false)}});
        }
        if (waits == lockWaitLimit) {
            throw ContractError("lock_not_confirmed");
        }
        co_await platform.clock.sleep(lockPollInterval);
    }
}

JSON sleep(const Platform& platform) {
    if (LockStateReader::read(platform.console) != ScreenState::Unlocked) {
        throw ContractError("device_locked");
    }
    switch (platform.power.requestSleep()) {
    case Power::SleepOutcome::Accepted:
        return emptyObject();
    case Power::SleepOutcome::Unavailable:
        throw ContractError("sleep_unavailable");
    case Power::SleepOutcome::Denied:
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
