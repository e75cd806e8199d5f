#include "core/PairingSchedule.h"

#include <algorithm>
#include <cstdint>

namespace corvane::PairingSchedule {

namespace {

// later - earlier for later > earlier, exact at full precision. The difference of two clock
// readings always fits the unsigned range even where the signed subtraction would overflow
// (an expiry read from a far-off wire time).
Delay timeUntil(WireTime::Instant earlier, WireTime::Instant later) noexcept {
    using Rep = WireTime::Instant::rep;
    using Period = WireTime::Instant::period;
    const auto difference = static_cast<std::uint64_t>(later.time_since_epoch().count()) -
                            static_cast<std::uint64_t>(earlier.time_since_epoch().count());
    static_assert(sizeof(Rep) <= sizeof(std::uint64_t));
    return std::chrono::duration<double, Period>(static_cast<double>(difference));
}

} // namespace

std::optional<Delay> nextDelay(WireTime::Instant now, WireTime::Instant expiresAt, bool viewActive,
                               double sample) noexcept {
    if (!viewActive || expiresAt <= now) {
        return std::nullopt;
    }
    // `sample >= 0` is false for NaN, so NaN and negatives add nothing.
    const Delay jitter = sample >= 0.0 ? std::min(Delay(sample), maxJitter) : Delay::zero();
    return std::min(baseDelay + jitter, timeUntil(now, expiresAt));
}

std::optional<std::chrono::seconds> renewalDelay(int inARow) noexcept {
    if (inARow >= expiriesAtOnce) {
        return std::nullopt;
    }
    return inARow <= 0 ? std::chrono::seconds(0) : std::chrono::seconds(1LL << inARow);
}

} // namespace corvane::PairingSchedule
