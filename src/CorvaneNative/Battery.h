#pragma once

#include "CorvaneCore/JSON.h"
#include "CorvanePlatform/PlatformValue.h"
#include "CorvanePlatform/Power.h"

#include <cstdint>
#include <optional>

namespace corvane {

// The "battery" member of the state report: {"percent", "charging"} of the first power source
// that reports a usable capacity, or null (a desktop Mac, an unreadable source list).
namespace Battery {

JSON read(const Power& power);

// The rule over the power sources as the platform lists them.
JSON fromSources(const std::optional<PlatformValue>& sources);

// current / maximum as a percentage, rounded half away from zero, clamped to 0..100. `maximum`
// must be at least 1.
int percent(std::int64_t current, std::int64_t maximum);

} // namespace Battery

} // namespace corvane
