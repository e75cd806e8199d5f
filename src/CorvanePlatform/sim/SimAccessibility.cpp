#include "CorvanePlatform/sim/SimAccessibility.h"

#include "CorvanePlatform/sim/SimModel.h"

namespace corvane {

bool SimAccessibility::isTrusted() const {
    return model_.flag({"accessibility", "trusted"});
}

void SimAccessibility::requestTrust() {
    auto guard = model_.lock();
    model_.record("accessibility_prompt");
    if (model_.flag({"accessibility", "grant_on_request"})) {
        model_.put({"accessibility", "trusted"}, JSON(true));
    }
}

AXElement SimAccessibility::applicationElement(std::int32_t pid) {
    return model_.applicationElement(pid);
}

AXElement SimAccessibility::systemWideElement() {
    return model_.systemWideElement();
}

void SimAccessibility::setMessagingTimeout(AXElement element, std::chrono::milliseconds timeout) {
    model_.setMessagingTimeout(element, timeout);
}

std::optional<PlatformValue> SimAccessibility::attribute(AXElement element,
                                                         const std::string& name) const {
    return model_.attribute(element, name);
}

std::optional<std::vector<std::string>> SimAccessibility::actionNames(AXElement element) const {
    return model_.actionNames(element);
}

std::optional<std::string> SimAccessibility::actionDescription(AXElement element,
                                                               const std::string& action) const {
    return model_.actionDescription(element, action);
}

std::optional<std::int32_t> SimAccessibility::pid(AXElement element) const {
    return model_.elementPid(element);
}

bool SimAccessibility::performAction(AXElement element, const std::string& action) {
    return model_.performAction(element, action);
}

bool SimAccessibility::setAttribute(AXElement element, const std::string& name,
                                    const PlatformValue& value) {
    return model_.setAttribute(element, name, value);
}

std::optional<AXElement> SimAccessibility::elementAtPosition(double x, double y) const {
    return model_.hitTest(x, y);
}

} // namespace corvane
