#pragma once

#include "core/JSON.h"
#include "core/WireTime.h"

#include <chrono>
#include <optional>
#include <string_view>

namespace corvane {

// Whether a command may run now: its deadline must be readable, not long past and not too far
// ahead, and a locked screen runs only what makes sense while locked.
namespace CommandGate {

// Lateness tolerated past "expires_at" (clock difference and transit).
inline constexpr std::chrono::seconds expiryGrace{5};
// The furthest ahead of now that "expires_at" may lie.
inline constexpr std::chrono::seconds maxDeadlineAhead{20};

// Passes silently or throws ContractError: "invalid_deadline" when `command` is not an object
// with a string "expires_at" in wire form, or that instant is more than 20 s after `now`;
// "command_expired" when `now` is more than 5 s after it. Both boundaries pass exactly and are
// compared at the clock's full precision.
void checkDeadline(const JSON& command, WireTime::Instant now);

// What a locked screen does to `action`. `locked` absent means the state could not be read:
// throws "lock_state_unknown". Unlocked: absent, the action runs. Locked: "get_state" is answered
// with {"screen_locked": true} and "lock_screen" with {"already_locked": true} without running
// them; any other action throws "device_locked".
std::optional<JSON> lockedResult(std::string_view action, std::optional<bool> locked);

} // namespace CommandGate

} // namespace corvane
