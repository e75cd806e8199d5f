#pragma once

#include <optional>
#include <string_view>

namespace corvane {

// The lock state of the agent's user. Anything but Unlocked is a reason not to act.
enum class ScreenState { Unlocked, Locked, Inactive, Unknown };

// "unlocked", "locked", "inactive", "unknown".
std::string_view rawValue(ScreenState state) noexcept;
// Exactly the four raw values, case-sensitive; absent for anything else.
std::optional<ScreenState> screenStateFromRaw(std::string_view raw) noexcept;
// Unlocked: false; Locked: true; Inactive and Unknown: absent (undetermined).
std::optional<bool> lockedValue(ScreenState state) noexcept;

} // namespace corvane
