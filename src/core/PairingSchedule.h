#pragma once

#include "core/WireTime.h"

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

// Fresh codes. A code that could not be redeemed within shortestLife of its request expired at
// once (its expiry already past, a relay or a clock that is off): asking again at once would spin.
// Such codes in a row are followed by waits of 2, 4, 8 and 16 s, and the fifth ends the pairing. A
// code that lived longer is renewed at once and starts the count again.
inline constexpr std::chrono::seconds shortestLife{30};
inline constexpr int expiriesAtOnce = 5;

// The wait before the next code request after `inARow` codes in a row expired at once: none for
// 0, then 2 s doubling; absent from expiriesAtOnce on (stop asking).
std::optional<std::chrono::seconds> renewalDelay(int inARow) noexcept;

} // namespace PairingSchedule

} // namespace corvane
