#pragma once

#include "platform/HostStats.h"

namespace corvane {

class SimModel;

// Memory, boot time, thermal state, low-power mode and volume capacity from the scenario.
class SimHostStats final : public HostStats {
public:
    explicit SimHostStats(SimModel& model)
        : model_(model) {}

    std::optional<Memory> memory() const override;
    std::optional<BootTime> bootTime() const override;
    ThermalState thermalState() const override;
    bool lowPowerMode() const override;
    VolumeCapacity homeVolumeCapacity() const override;

private:
    SimModel& model_;
};

} // namespace corvane
