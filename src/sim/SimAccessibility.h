#pragma once

#include "mac/MacAccessibility.h"

namespace corvane {

class SimModel;
class SimParts;

// Accessibility over the model's element trees: what each attribute reads (stored or computed
// from the tree: children, parent, window, focus...), actions and writes through SimEffects.
// Without trust every read is absent and every action fails, as on the real system.
class SimAccessibility final : public MacAccessibility {
public:
    explicit SimAccessibility(SimModel& model)
        : model_(model) {}

    bool isTrusted() const override;
    void requestTrust() override;
    AXElement applicationElement(std::int32_t pid) override;
    AXElement systemWideElement() override;
    void setMessagingTimeout(AXElement element, std::chrono::milliseconds timeout) override;
    std::optional<PlatformValue> attribute(AXElement element,
                                           const std::string& name) const override;
    std::optional<std::vector<std::string>> actionNames(AXElement element) const override;
    std::optional<std::string> actionDescription(AXElement element,
                                                 const std::string& action) const override;
    std::optional<std::int32_t> pid(AXElement element) const override;
    bool performAction(AXElement element, const std::string& action) override;
    bool setAttribute(AXElement element, const std::string& name,
                      const PlatformValue& value) override;
    std::optional<AXElement> elementAtPosition(double x, double y) const override;

private:
    static std::optional<PlatformValue> read(const SimParts& mac, std::uint64_t token,
                                             const std::string& name);

    SimModel& model_;
};

} // namespace corvane
