#pragma once

#include "core/Clock.h"

#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace corvane {

// Thrown out of a sleep that was still pending when its VirtualClock went away, so that the
// suspended coroutines unwind and free themselves instead of leaking.
class VirtualClockStopped : public std::runtime_error {
public:
    VirtualClockStopped()
        : std::runtime_error("virtual clock stopped") {}
};

// A Clock for tests: time stands still until the test advances it. Wall and monotonic time move
// together. Sleeps complete inside advance(), in the order of their wake-up times (ties in the
// order they began), each seeing the clock at its own wake-up time; nothing needs an event loop.
class VirtualClock final : public Clock {
public:
    // 2026-01-01T00:00:00Z.
    static const WallTime defaultStart;

    explicit VirtualClock(WallTime wallStart = defaultStart);
    ~VirtualClock() override;
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    WallTime now() const override { return wall_; }
    MonotonicTime monotonicNow() const override { return monotonic_; }
    // A duration of zero or less completes at once.
    QCoro::Task<void> sleep(std::chrono::milliseconds duration) override;

    // Moves both clocks forward by `duration`, waking every sleep that falls due on the way,
    // including sleeps begun by the coroutines it wakes.
    void advance(std::chrono::milliseconds duration);
    // Sleeps begun and not yet woken.
    std::size_t pendingSleeps() const noexcept { return sleepers_.size(); }

private:
    struct Sleeper {
        MonotonicTime wakeAt;
        std::uint64_t order;
        std::coroutine_handle<> handle;
        bool* abandoned;
    };
    struct Wait;

    WallTime wall_;
    MonotonicTime monotonic_;
    std::vector<Sleeper> sleepers_;
    std::uint64_t nextOrder_ = 0;
    bool stopping_ = false;
};

} // namespace corvane
