#pragma once

#include "platform/PlatformValue.h"
#include "platform/PowerSources.h"

#include <optional>

namespace corvane {

// Power sources and the system sleep request.
class MacPower {
public:
    virtual ~MacPower() = default;

    // The power sources' description dictionaries in the platform's order ("Current Capacity",
    // "Max Capacity", "Is Charging", ...), as given; absent when the information cannot be copied.
    virtual std::optional<PlatformValue> powerSources() const = 0;

    using SleepOutcome = PowerSources::SleepOutcome;
    virtual SleepOutcome requestSleep() = 0;
};

} // namespace corvane
