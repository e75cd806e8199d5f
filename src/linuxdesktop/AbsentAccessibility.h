#pragma once

#include "platform/Accessibility.h"

namespace corvane {

// Other applications' interfaces cannot be read on this desktop yet: never trusted, every read
// absent, every action refused.
class AbsentAccessibility final : public Accessibility {
public:
    bool isTrusted() const override { return false; }
    void requestTrust() override {}
    AXElement applicationElement(std::int32_t) override { return AXElement(); }
    void setMessagingTimeout(AXElement, std::chrono::milliseconds) override {}
    std::optional<AXRoleTerm> role(AXElement) const override { return {}; }
    std::optional<AXSubrole> subrole(AXElement) const override { return {}; }
    std::optional<PlatformValue> attribute(AXElement, AXAttribute) const override { return {}; }
    std::optional<std::vector<AXActionTerm>> actions(AXElement) const override { return {}; }
    std::optional<std::string> actionDescription(AXElement, const AXActionTerm&) const override {
        return {};
    }
    std::optional<std::int32_t> pid(AXElement) const override { return {}; }
    bool perform(AXElement, const AXActionTerm&) override { return false; }
    bool setAttribute(AXElement, AXAttribute, const PlatformValue&) override { return false; }
    std::optional<AXElement> elementAtPosition(double, double) const override { return {}; }
};

} // namespace corvane
