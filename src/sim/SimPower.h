#pragma once

#include "mac/MacPower.h"

namespace corvane {

class SimModel;

// Power sources from the scenario; an accepted sleep request is recorded and announced as the
// workspace's will-sleep notification.
class SimPower final : public MacPower {
public:
    explicit SimPower(SimModel& model)
        : model_(model) {}

    std::optional<PlatformValue> powerSources() const override;
    SleepOutcome requestSleep() override;

private:
    SimModel& model_;
};

} // namespace corvane
