#pragma once

#include "mac/MacPower.h"
#include "platform/PlatformValue.h"
#include "platform/PowerSources.h"

#include <cstdint>
#include <optional>

namespace corvane {

// The battery from the Mac's power-source dictionaries: the first source that reports a usable
// capacity ("Current Capacity" and a "Max Capacity" of at least 1, both integers); "Is Charging"
// only as a genuine boolean; "Power Source State" says whether it is on AC power.
class PowerSourcesOnMac final : public PowerSources {
public:
    explicit PowerSourcesOnMac(MacPower& power);

    QCoro::Task<std::optional<Battery>> battery() override;
    QCoro::Task<SleepOutcome> requestSleep() override;

    // The rule over the power sources as the platform lists them.
    static std::optional<Battery> fromSources(const std::optional<PlatformValue>& sources);
    // current / maximum as a percentage, rounded half away from zero, clamped to 0..100.
    // `maximum` must be at least 1.
    static int percent(std::int64_t current, std::int64_t maximum);

private:
    MacPower& power_;
};

} // namespace corvane
