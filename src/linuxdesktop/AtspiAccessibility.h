#pragma once

#include "linuxdesktop/AtspiThread.h"
#include "platform/Accessibility.h"

#include <atomic>
#include <memory>

namespace corvane {

struct AtspiObjects;

// Other applications' interfaces over AT-SPI. Every call runs on the backend's own thread
// (AtspiThread), bounded by the messaging time-out last set. The port's users hand their reads over
// as one batch(); a call made outside a batch still runs on that thread and waits for it. Reads go
// over the backend's own bus connection (AtspiPipeline), many sent together and kept until the
// batch (or the call outside one) ends; actions, focus, text edits and hit tests go through
// libatspi. Element handles stand for AT-SPI objects (the application's bus name and object
// path); a password field's text is never read.
//
// Enabling: a desktop turns accessibility on for applications through org.a11y.Status.IsEnabled.
// When it was off, it is turned on at start, and applications started before must be restarted to
// be seen (wasOff()).
class AtspiAccessibility final : public Accessibility {
public:
    AtspiAccessibility();
    ~AtspiAccessibility() override;

    // The accessibility bus answered at start.
    bool reachable() const { return reachable_.load(); }
    // Accessibility was off when the agent started (and is on now).
    bool wasOff() const { return wasOff_.load(); }

    // A Linux desktop asks no per-application trust: trusted when the accessibility bus answers.
    bool isTrusted() const override { return reachable(); }
    void requestTrust() override;
    AXElement applicationElement(std::int32_t pid) override;
    void setMessagingTimeout(AXElement element, std::chrono::milliseconds timeout) override;
    std::optional<AXRoleTerm> role(AXElement element) const override;
    std::optional<AXSubrole> subrole(AXElement element) const override;
    std::optional<PlatformValue> attribute(AXElement element, AXAttribute attribute) const override;
    std::optional<PlatformValue> children(AXElement element, std::size_t limit) const override;
    std::optional<std::vector<AXActionTerm>> actions(AXElement element) const override;
    std::optional<std::string> actionDescription(AXElement element,
                                                 const AXActionTerm& action) const override;
    std::optional<std::int32_t> pid(AXElement element) const override;
    bool perform(AXElement element, const AXActionTerm& action) override;
    bool setAttribute(AXElement element, AXAttribute attribute,
                      const PlatformValue& value) override;
    std::optional<AXElement> elementAtPosition(double x, double y) const override;
    QCoro::Task<void> batch(std::function<void()> calls) override;

private:
    std::atomic<bool> reachable_{false};
    std::atomic<bool> wasOff_{false};
    // Touched on the thread only.
    std::unique_ptr<AtspiObjects> objects_;
    // Last, so that it stops before what its jobs use goes.
    mutable std::unique_ptr<AtspiThread> thread_;
};

} // namespace corvane
