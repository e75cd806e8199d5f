#pragma once

#include "core/Clock.h"

namespace corvane {

// The real clock: system wall time, steady monotonic time, precise timer sleeps.
class SystemClock final : public Clock {
public:
    WallTime now() const override;
    MonotonicTime monotonicNow() const override;
    QCoro::Task<void> sleep(std::chrono::milliseconds duration) override;
};

} // namespace corvane
