#include "support/VirtualClock.h"

#include <algorithm>

namespace corvane {

namespace {

// Far enough from the epoch that no subtraction in the code under test goes below it.
const Clock::MonotonicTime monotonicStart = Clock::MonotonicTime{} + std::chrono::hours(1000);

} // namespace

const Clock::WallTime VirtualClock::defaultStart =
    Clock::WallTime{std::chrono::sys_days{std::chrono::year{2026} / 1 / 1}};

struct VirtualClock::Wait {
    VirtualClock* clock;
    MonotonicTime wakeAt;
    bool abandoned = false;

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) {
        clock->sleepers_.push_back(Sleeper{wakeAt, clock->nextOrder_++, handle, &abandoned});
    }
    void await_resume() const {
        if (abandoned) {
            throw VirtualClockStopped();
        }
    }
};

VirtualClock::VirtualClock(WallTime wallStart)
    : wall_(wallStart)
    , monotonic_(monotonicStart) {}

VirtualClock::~VirtualClock() {
    stopping_ = true;
    // Resumed with an error, a pending sleep unwinds its coroutine chain; a coroutine that
    // catches the error and sleeps again fails at once (stopping_).
    while (!sleepers_.empty()) {
        const Sleeper sleeper = sleepers_.front();
        sleepers_.erase(sleepers_.begin());
        *sleeper.abandoned = true;
        sleeper.handle.resume();
    }
}

QCoro::Task<void> VirtualClock::sleep(std::chrono::milliseconds duration) {
    if (stopping_) {
        throw VirtualClockStopped();
    }
    if (duration <= std::chrono::milliseconds::zero()) {
        co_return;
    }
    co_await Wait{this, monotonic_ + duration};
}

void VirtualClock::advance(std::chrono::milliseconds duration) {
    const MonotonicTime target = monotonic_ + std::max(duration, std::chrono::milliseconds::zero());
    for (;;) {
        const auto next = std::min_element(
            sleepers_.begin(), sleepers_.end(), [](const Sleeper& a, const Sleeper& b) {
                return a.wakeAt != b.wakeAt ? a.wakeAt < b.wakeAt : a.order < b.order;
            });
        if (next == sleepers_.end() || next->wakeAt > target) {
            break;
        }
        const Sleeper sleeper = *next;
        sleepers_.erase(next);
        wall_ += sleeper.wakeAt - monotonic_;
        monotonic_ = sleeper.wakeAt;
        sleeper.handle.resume();
    }
    wall_ += target - monotonic_;
    monotonic_ = target;
}

} // namespace corvane
