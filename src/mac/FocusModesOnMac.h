#pragma once

#include "core/Clock.h"
#include "mac/MacAccessibility.h"
#include "mac/MacInputEvents.h"
#include "platform/FocusModes.h"
#include "platform/Workspace.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// Do Not Disturb through Control Center: opened with Globe/Fn-C when neither the Focus module nor
// the control shows, the module's "show details" action until the control appears, one press when
// it shows the other value, then the control read back.
class FocusModesOnMac final : public FocusModes {
public:
    static constexpr std::uint16_t controlCenterKeyCode = 8;
    static constexpr std::uint64_t controlCenterKeyFlags = MacInputEvents::secondaryFunctionFlag;
    static constexpr std::string_view controlCenterBundleID = "com.apple.controlcenter";
    static constexpr std::string_view focusModuleIdentifier = "controlcenter-focus-modes";
    static constexpr std::string_view doNotDisturbIdentifier =
        "focus-mode-activity-com.apple.donotdisturb.mode.default";
    static constexpr std::string_view doNotDisturbDescription = "Do Not Disturb";
    static constexpr std::string_view showDetailsDescription = "show details";

    static constexpr std::chrono::milliseconds messagingTimeout{200};
    static constexpr std::chrono::milliseconds scanDeadline{2000};
    static constexpr std::size_t scanLimit = 600;
    // Up to 15 waits of 150 ms for the control to appear, then 10 waits of 100 ms for its value.
    static constexpr std::chrono::milliseconds openingInterval{150};
    static constexpr int openingLimit = 15;
    static constexpr std::chrono::milliseconds confirmInterval{100};
    static constexpr int confirmLimit = 10;

    FocusModesOnMac(Workspace& workspace, MacAccessibility& accessibility, MacInputEvents& input,
                    Clock& clock)
        : workspace_(workspace)
        , ax_(accessibility)
        , input_(input)
        , clock_(clock) {}

    QCoro::Task<Outcome> setDoNotDisturb(bool enabled, std::function<void()> beforeChange) override;

private:
    enum class Step { Confirm, KeepOpening, Unavailable, Refused };

    std::optional<std::string> text(AXElement element, const char* attribute) const;
    std::vector<AXElement> children(AXElement element) const;
    // Breadth-first from `root`, at most scanLimit nodes within scanDeadline.
    std::vector<AXElement> scan(AXElement root) const;
    // Everything Control Center shows: the application element and each of its windows, walked.
    std::vector<AXElement> controlList(AXElement application) const;
    bool isFocusModule(AXElement element) const;
    bool isDoNotDisturbControl(AXElement element) const;
    std::optional<bool> switchValue(AXElement control) const;
    std::optional<std::string> showDetailsAction(AXElement module) const;
    Step handleControls(const std::vector<AXElement>& list, bool enabled,
                        const std::function<void()>& beforeChange);

    Workspace& workspace_;
    MacAccessibility& ax_;
    MacInputEvents& input_;
    Clock& clock_;
};

} // namespace corvane
