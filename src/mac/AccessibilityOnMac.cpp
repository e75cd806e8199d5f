#include "mac/AccessibilityOnMac.h"

namespace corvane {

namespace {

std::string macAction(const AXActionTerm& action) {
    // A term outside the vocabulary already carries the Mac's name.
    const std::optional<AXAction> known = action.term();
    return known ? std::string(AccessibilityOnMac::macName(AccessibilityOnMac::actionNames, *known))
                 : action.name();
}

std::string macAttribute(AXAttribute attribute) {
    return std::string(AccessibilityOnMac::macName(AccessibilityOnMac::attributeNames, attribute));
}

} // namespace

bool AccessibilityOnMac::isTrusted() const {
    return mac_.isTrusted();
}

void AccessibilityOnMac::requestTrust() {
    mac_.requestTrust();
}

AXElement AccessibilityOnMac::applicationElement(std::int32_t pid) {
    return mac_.applicationElement(pid);
}

void AccessibilityOnMac::setMessagingTimeout(AXElement element, std::chrono::milliseconds timeout) {
    mac_.setMessagingTimeout(element, timeout);
}

std::string AccessibilityOnMac::text(AXElement element, std::string_view name) const {
    const std::optional<PlatformValue> value = mac_.attribute(element, std::string(name));
    return value && value->string() != nullptr ? *value->string() : std::string();
}

std::optional<AXRoleTerm> AccessibilityOnMac::role(AXElement element) const {
    const std::string name = text(element, "AXRole");
    if (name.empty()) {
        return std::nullopt;
    }
    if (const std::optional<AXRole> known = termNamed(roleNames, name)) {
        return AXRoleTerm(*known);
    }
    return AXRoleTerm::outside(name);
}

std::optional<AXSubrole> AccessibilityOnMac::subrole(AXElement element) const {
    return termNamed(subroleNames, text(element, "AXSubrole"));
}

std::optional<PlatformValue> AccessibilityOnMac::attribute(AXElement element,
                                                           AXAttribute attribute) const {
    return mac_.attribute(element, macAttribute(attribute));
}

std::optional<std::vector<AXActionTerm>> AccessibilityOnMac::actions(AXElement element) const {
    const std::optional<std::vector<std::string>> names = mac_.actionNames(element);
    if (!names) {
        return std::nullopt;
    }
    std::vector<AXActionTerm> terms;
    terms.reserve(names->size());
    for (const std::string& name : *names) {
        const std::optional<AXAction> known = termNamed(actionNames, name);
        terms.push_back(known ? AXActionTerm(*known) : AXActionTerm::outside(name));
    }
    return terms;
}

std::optional<std::string> AccessibilityOnMac::actionDescription(AXElement element,
                                                                 const AXActionTerm& action) const {
    return mac_.actionDescription(element, macAction(action));
}

std::optional<std::int32_t> AccessibilityOnMac::pid(AXElement element) const {
    return mac_.pid(element);
}

bool AccessibilityOnMac::perform(AXElement element, const AXActionTerm& action) {
    return mac_.performAction(element, macAction(action));
}

bool AccessibilityOnMac::setAttribute(AXElement element, AXAttribute attribute,
                                      const PlatformValue& value) {
    return mac_.setAttribute(element, macAttribute(attribute), value);
}

std::optional<AXElement> AccessibilityOnMac::elementAtPosition(double x, double y) const {
    return mac_.elementAtPosition(x, y);
}

} // namespace corvane
