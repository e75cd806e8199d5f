#pragma once

#include "core/Clock.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace corvane {

// Times as the shared tables keep them: milliseconds since the epoch, in text for libpq.
struct PostgresTime {
    static std::int64_t millis(Clock::WallTime time) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch())
            .count();
    }
    static std::string text(Clock::WallTime time) { return std::to_string(millis(time)); }
    static Clock::WallTime from(std::int64_t ms) {
        return Clock::WallTime(std::chrono::milliseconds(ms));
    }
};

} // namespace corvane
