#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// The one timestamp form on the wire and in the log: ISO 8601, UTC, milliseconds, "Z"
// (2026-01-02T03:04:05.678Z). Reading also accepts no fraction and a numeric offset.
namespace WireTime {

using Instant = std::chrono::system_clock::time_point;

// Exactly three fractional digits; sub-millisecond digits are dropped, never rounded up.
std::string text(Instant instant);

// Absent for anything but YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM); an offset is applied.
std::optional<Instant> parse(std::string_view text);

} // namespace WireTime

} // namespace corvane
