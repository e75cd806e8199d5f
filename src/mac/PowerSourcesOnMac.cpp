#include "mac/PowerSourcesOnMac.h"

#include <cmath>
#include <limits>

namespace corvane {

PowerSourcesOnMac::PowerSourcesOnMac(MacPower& power)
    : power_(power) {}

int PowerSourcesOnMac::percent(std::int64_t current, std::int64_t maximum) {
    if (current <= 0) {
        return 0;
    }
    if (current >= maximum) {
        return 100;
    }
    // 0 < current < maximum. Exact integer rounding where 201 * maximum fits, so a true half
    // (1 of 8 is 12.5) always rounds up; beyond that the capacities are not real batteries and
    // long double is close enough.
    if (maximum <= std::numeric_limits<std::int64_t>::max() / 201) {
        return static_cast<int>((200 * current + maximum) / (2 * maximum));
    }
    const long double share = static_cast<long double>(current) * 100.0L / maximum;
    return static_cast<int>(std::round(share));
}

std::optional<PowerSources::Battery>
PowerSourcesOnMac::fromSources(const std::optional<PlatformValue>& sources) {
    const PlatformValue::Array* list = sources ? sources->array() : nullptr;
    if (list == nullptr) {
        return std::nullopt;
    }
    for (const PlatformValue& source : *list) {
        const PlatformValue* current = source.find("Current Capacity");
        const PlatformValue* maximum = source.find("Max Capacity");
        const auto currentValue = current ? current->integer() : std::nullopt;
        const auto maximumValue = maximum ? maximum->integer() : std::nullopt;
        if (!currentValue || !maximumValue || *maximumValue < 1) {
            continue;
        }
        const PlatformValue* charging = source.find("Is Charging");
        const auto chargingValue = charging ? charging->boolean() : std::nullopt;
        Battery battery;
        battery.percent = percent(*currentValue, *maximumValue);
        battery.charging = chargingValue.value_or(false);
        const PlatformValue* state = source.find("Power Source State");
        if (const std::string* text = state ? state->string() : nullptr) {
            if (*text == "AC Power") {
                battery.pluggedIn = true;
            } else if (*text == "Battery Power") {
                battery.pluggedIn = false;
            }
        }
        return battery;
    }
    return std::nullopt;
}

QCoro::Task<std::optional<PowerSources::Battery>> PowerSourcesOnMac::battery() {
    co_return fromSources(power_.powerSources());
}

QCoro::Task<PowerSources::SleepOutcome> PowerSourcesOnMac::requestSleep() {
    co_return power_.requestSleep();
}

} // namespace corvane
