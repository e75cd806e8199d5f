#pragma once

#include "CorvaneCore/WireTime.h"

#include <chrono>
#include <optional>

namespace corvane {

// How long to wait before the next poll of a pairing code's status.
namespace PairingSchedule {

// Seconds as a double: the delay may be a fraction of a second when the code is about to expire.
using Delay = std::chrono::duration<double>;

inline constexpr Delay baseDelay{2.5};
inline constexpr Delay maxJitter{1.0};

// Absent when the pairing view is not showing or the code has expired (`expiresAt` not later than
// `now`): no more polling. Otherwise 2.5 s plus `sample` capped at 1.0 (a sample that is negative
// or NaN adds nothing), but never past `expiresAt`. Callers pass a fresh uniform sample in [0, 1)
// for each wait.
std::optional<Delay> nextDelay(WireTime::Instant now, WireTime::Instant expiresAt, bool viewActive,
                               double sample) noexcept;

} // namespace PairingSchedule

} // namespace corvane
