#include "CorvaneNative/SystemActions.h"

#include "CorvaneCore/ContractError.h"

#include <QString>

#include <algorithm>
#include <deque>

namespace corvane::SystemActions {

namespace {

JSON emptyObject() {
    return JSON(JSON::Object{});
}

bool textEquals(const Accessibility& ax, AXElement element, const char* attribute,
                std::string_view expected) {
    const std::optional<std::string> value = text(ax, element, attribute);
    return value && *value == expected;
}

bool isFocusModule(const Accessibility& ax, AXElement element) {
    return textEquals(ax, element, "AXIdentifier", focusModuleIdentifier);
}

// Both must match: other Focus modes carry the same description under other identifiers.
bool isDoNotDisturbControl(const Accessibility& ax, AXElement element) {
    return textEquals(ax, element, "AXIdentifier", doNotDisturbIdentifier) &&
           textEquals(ax, element, "AXDescription", doNotDisturbDescription);
}

template <typename Predicate>
std::optional<AXElement> findFirst(const std::vector<AXElement>& elements, Predicate matches) {
    const auto it = std::find_if(elements.begin(), elements.end(), matches);
    if (it == elements.end()) {
        return std::nullopt;
    }
    return *it;
}

// The control's state: its value as a number, non-zero meaning on. A genuine boolean is accepted
// too, since the platform's number type also carries booleans.
std::optional<bool> switchValue(const Accessibility& ax, AXElement control) {
    const std::optional<PlatformValue> value = ax.attribute(control, "AXValue");
    if (!value) {
        return std::nullopt;
    }
    if (const std::optional<bool> b = value->boolean()) {
        return *b;
    }
    if (const std::optional<double> n = value->number()) {
        return *n != 0;
    }
    return std::nullopt;
}

// Everything Control Center shows: the application element and each of its windows, walked.
// Completeness is not required: the controls sought sit near the top of the tree.
std::vector<AXElement> controlList(const Platform& platform, AXElement application) {
    const Accessibility& ax = platform.accessibility;
    std::vector<AXElement> list = scan(ax, platform.clock, application, controlScanLimit).nodes;
    const std::optional<PlatformValue> windows = ax.attribute(application, "AXWindows");
    if (const PlatformValue::Array* array = windows ? windows->array() : nullptr) {
        for (const PlatformValue& window : *array) {
            if (const std::optional<AXElement> element = window.element()) {
                std::vector<AXElement> nodes =
                    scan(ax, platform.clock, *element, controlScanLimit).nodes;
                list.insert(list.end(), nodes.begin(), nodes.end());
            }
        }
    }
    return list;
}

// The first action of the Focus module whose description reads "show details" in any letter case.
std::optional<std::string> showDetailsAction(const Accessibility& ax, AXElement module) {
    const std::optional<std::vector<std::string>> actions = ax.actionNames(module);
    if (!actions) {
        return std::nullopt;
    }
    const QString wanted = QString::fromUtf8(showDetailsDescription.data(),
                                             static_cast<qsizetype>(showDetailsDescription.size()));
    for (const std::string& action : *actions) {
        const std::optional<std::string> description = ax.actionDescription(module, action);
        if (description && QString::fromStdString(*description).toLower() == wanted) {
            return action;
        }
    }
    return std::nullopt;
}

enum class Step { Confirm, KeepOpening };

// One look at a fresh control list: press the Do Not Disturb control if it shows the other value
// (then confirm), or ask the Focus module for its details and keep waiting for the control.
Step handleControls(const Platform& platform, const std::vector<AXElement>& list, bool enabled) {
    Accessibility& ax = platform.accessibility;
    if (const std::optional<AXElement> control =
            findFirst(list, [&](AXElement e) { return isDoNotDisturbControl(ax, e); })) {
        if (const std::optional<bool> value = switchValue(ax, *control)) {
            if (*value != enabled) {
                // The screen may have locked since the search; never press on a locked screen.
                check(platform);
                if (!ax.performAction(*control, "AXPress")) {
                    throw ContractError("native_control_unavailable");
                }
            }
            return Step::Confirm;
        }
    }
    if (const std::optional<AXElement> module =
            findFirst(list, [&](AXElement e) { return isFocusModule(ax, e); })) {
        const std::optional<std::string> action = showDetailsAction(ax, *module);
        if (!action) {
            throw ContractError("focus_control_unavailable");
        }
        check(platform);
        if (!ax.performAction(*module, *action)) {
            throw ContractError("focus_control_unavailable");
        }
    }
    return Step::KeepOpening;
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

std::vector<AXElement> children(const Accessibility& accessibility, AXElement element) {
    std::vector<AXElement> result;
    const std::optional<PlatformValue> value = accessibility.attribute(element, "AXChildren");
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
                                const std::string& attribute) {
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
    Accessibility& ax = platform.accessibility;

    const std::vector<RunningApplication> running = platform.workspace.runningApplications();
    const auto controlCenter = std::find_if(running.begin(), running.end(), [](const auto& app) {
        return app.bundleID == controlCenterBundleID;
    });
    if (controlCenter == running.end()) {
        throw ContractError("focus_control_unavailable");
    }
    const AXElement application = ax.applicationElement(controlCenter->pid);
    ax.setMessagingTimeout(application, messagingTimeout);

    const std::vector<AXElement> shown = controlList(platform, application);
    const bool open = std::any_of(shown.begin(), shown.end(), [&](AXElement e) {
        return isFocusModule(ax, e) || isDoNotDisturbControl(ax, e);
    });
    if (!open &&
        !platform.input.postKeyToSession({controlCenterKeyCode, controlCenterKeyFlags, {}})) {
        throw ContractError("focus_control_unavailable");
    }

    Step step = handleControls(platform, controlList(platform, application), enabled);
    for (int opening = 0; step == Step::KeepOpening;) {
        co_await platform.clock.sleep(focusOpeningInterval);
        if (++opening == focusOpeningLimit) {
            throw ContractError("focus_control_unavailable");
        }
        step = handleControls(platform, controlList(platform, application), enabled);
    }

    // Success only once the control itself shows the wanted value.
    for (int waits = 0;;) {
        const std::vector<AXElement> list = controlList(platform, application);
        const std::optional<AXElement> control =
            findFirst(list, [&](AXElement e) { return isDoNotDisturbControl(ax, e); });
        if (control && switchValue(ax, *control) == enabled) {
            co_return emptyObject();
        }
        co_await platform.clock.sleep(focusConfirmInterval);
        if (++waits == focusConfirmLimit) {
            throw ContractError("focus_change_not_confirmed");
        }
    }
}

} // namespace corvane::SystemActions
