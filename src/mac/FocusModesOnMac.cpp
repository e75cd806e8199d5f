#include "mac/FocusModesOnMac.h"

#include <QString>

#include <algorithm>
#include <deque>

namespace corvane {

namespace {

template <typename Predicate>
std::optional<AXElement> findFirst(const std::vector<AXElement>& elements, Predicate matches) {
    const auto it = std::find_if(elements.begin(), elements.end(), matches);
    if (it == elements.end()) {
        return std::nullopt;
    }
    return *it;
}

} // namespace

std::optional<std::string> FocusModesOnMac::text(AXElement element, const char* attribute) const {
    const std::optional<PlatformValue> value = ax_.attribute(element, attribute);
    if (!value || value->string() == nullptr) {
        return std::nullopt;
    }
    return *value->string();
}

std::vector<AXElement> FocusModesOnMac::children(AXElement element) const {
    std::vector<AXElement> result;
    const std::optional<PlatformValue> value = ax_.attribute(element, "AXChildren");
    const PlatformValue::Array* array = value ? value->array() : nullptr;
    if (array == nullptr) {
        return result;
    }
    for (const PlatformValue& child : *array) {
        const std::optional<AXElement> e = child.element();
        if (!e) {
            return {}; // a list that is not all elements is not a list of children
        }
        result.push_back(*e);
    }
    return result;
}

std::vector<AXElement> FocusModesOnMac::scan(AXElement root) const {
    const Clock::MonotonicTime deadline = clock_.monotonicNow() + scanDeadline;
    std::deque<AXElement> queue{root};
    std::vector<AXElement> nodes;
    while (!queue.empty() && nodes.size() < scanLimit && clock_.monotonicNow() < deadline) {
        const AXElement element = queue.front();
        queue.pop_front();
        nodes.push_back(element);
        const std::vector<AXElement> next = children(element);
        queue.insert(queue.end(), next.begin(), next.end());
    }
    return nodes;
}

std::vector<AXElement> FocusModesOnMac::controlList(AXElement application) const {
    // Completeness is not required: the controls sought sit near the top of the tree.
    std::vector<AXElement> list = scan(application);
    const std::optional<PlatformValue> windows = ax_.attribute(application, "AXWindows");
    if (const PlatformValue::Array* array = windows ? windows->array() : nullptr) {
        for (const PlatformValue& window : *array) {
            if (const std::optional<AXElement> element = window.element()) {
                std::vector<AXElement> nodes = scan(*element);
                list.insert(list.end(), nodes.begin(), nodes.end());
            }
        }
    }
    return list;
}

bool FocusModesOnMac::isFocusModule(AXElement element) const {
    return text(element, "AXIdentifier") == focusModuleIdentifier;
}

// Both must match: other Focus modes carry the same description under other identifiers.
bool FocusModesOnMac::isDoNotDisturbControl(AXElement element) const {
    return text(element, "AXIdentifier") == doNotDisturbIdentifier &&
           text(element, "AXDescription") == doNotDisturbDescription;
}

// The control's state: its value as a number, non-zero meaning on. A genuine boolean is accepted
// too, since the Mac's number type also carries booleans.
std::optional<bool> FocusModesOnMac::switchValue(AXElement control) const {
    const std::optional<PlatformValue> value = ax_.attribute(control, "AXValue");
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

// The first action of the Focus module whose description reads "show details" in any letter case.
std::optional<std::string> FocusModesOnMac::showDetailsAction(AXElement module) const {
    const std::optional<std::vector<std::string>> actions = ax_.actionNames(module);
    if (!actions) {
        return std::nullopt;
    }
    const QString wanted = QString::fromUtf8(showDetailsDescription.data(),
                                             static_cast<qsizetype>(showDetailsDescription.size()));
    for (const std::string& action : *actions) {
        const std::optional<std::string> description = ax_.actionDescription(module, action);
        if (description && QString::fromStdString(*description).toLower() == wanted) {
            return action;
        }
    }
    return std::nullopt;
}

// One look at a fresh control list: press the Do Not Disturb control if it shows the other value
// (then confirm), or ask the Focus module for its details and keep waiting for the control.
FocusModesOnMac::Step FocusModesOnMac::handleControls(const std::vector<AXElement>& list,
                                                      bool enabled,
                                                      const std::function<void()>& beforeChange) {
    if (const std::optional<AXElement> control =
            findFirst(list, [&](AXElement e) { return isDoNotDisturbControl(e); })) {
        if (const std::optional<bool> value = switchValue(*control)) {
            if (*value != enabled) {
                beforeChange();
                if (!ax_.performAction(*control, "AXPress")) {
                    return Step::Refused;
                }
            }
            return Step::Confirm;
        }
    }
    if (const std::optional<AXElement> module =
            findFirst(list, [&](AXElement e) { return isFocusModule(e); })) {
        const std::optional<std::string> action = showDetailsAction(*module);
        if (!action) {
            return Step::Unavailable;
        }
        beforeChange();
        if (!ax_.performAction(*module, *action)) {
            return Step::Unavailable;
        }
    }
    return Step::KeepOpening;
}

QCoro::Task<FocusModes::Outcome>
FocusModesOnMac::setDoNotDisturb(bool enabled, std::function<void()> beforeChange) {
    const std::vector<RunningApplication> running = workspace_.runningApplications();
    const auto controlCenter = std::find_if(running.begin(), running.end(), [](const auto& app) {
        return app.bundleID == controlCenterBundleID;
    });
    if (controlCenter == running.end()) {
        co_return Outcome::Unavailable;
    }
    const AXElement application = ax_.applicationElement(controlCenter->pid);
    ax_.setMessagingTimeout(application, messagingTimeout);

    const std::vector<AXElement> shown = controlList(application);
    const bool open = std::any_of(shown.begin(), shown.end(), [&](AXElement e) {
        return isFocusModule(e) || isDoNotDisturbControl(e);
    });
    if (!open &&
        !input_.postKeyToSession({controlCenterKeyCode, controlCenterKeyFlags, std::nullopt})) {
        co_return Outcome::Unavailable;
    }

    Step step = handleControls(controlList(application), enabled, beforeChange);
    for (int opening = 0; step == Step::KeepOpening;) {
        co_await clock_.sleep(openingInterval);
        if (++opening == openingLimit) {
            co_return Outcome::Unavailable;
        }
        step = handleControls(controlList(application), enabled, beforeChange);
    }
    if (step == Step::Unavailable) {
        co_return Outcome::Unavailable;
    }
    if (step == Step::Refused) {
        co_return Outcome::Refused;
    }

    // Confirmed only once the control itself shows the wanted value.
    for (int waits = 0;;) {
        const std::vector<AXElement> list = controlList(application);
        const std::optional<AXElement> control =
            findFirst(list, [&](AXElement e) { return isDoNotDisturbControl(e); });
        if (control && switchValue(*control) == enabled) {
            co_return Outcome::Confirmed;
        }
        co_await clock_.sleep(confirmInterval);
        if (++waits == confirmLimit) {
            co_return Outcome::NotConfirmed;
        }
    }
}

} // namespace corvane
