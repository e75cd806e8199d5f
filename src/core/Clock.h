#pragma once

#include <qcoro/qcorotask.h>

#include <chrono>

namespace corvane {

// The one seam for time: wall time, monotonic time and awaited sleeps. Tests substitute a virtual
// clock so that long waits (tool limits, connection timers, back-off) run instantly.
class Clock {
public:
    using WallTime = std::chrono::system_clock::time_point;
    using MonotonicTime = std::chrono::steady_clock::time_point;

    virtual ~Clock() = default;

    virtual WallTime now() const = 0;
    virtual MonotonicTime monotonicNow() const = 0;
    // Suspends the calling coroutine (on the main thread) for `duration` of monotonic time,
    // without blocking the thread and without firing early.
    virtual QCoro::Task<void> sleep(std::chrono::milliseconds duration) = 0;
};

} // namespace corvane
