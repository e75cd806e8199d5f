#include "support/VirtualClock.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace std::chrono_literals;
using corvane::VirtualClock;

namespace {

// Sleeps `steps` times for `step` and writes the clock's reading after each wake into `log`.
QCoro::Task<void> ticker(VirtualClock* clock, std::chrono::milliseconds step, int steps,
                         std::shared_ptr<std::string> log, std::string name) {
    for (int i = 0; i < steps; ++i) {
        co_await clock->sleep(step);
        const auto at = std::chrono::duration_cast<std::chrono::milliseconds>(
            clock->now() - VirtualClock::defaultStart);
        *log += name + "@" + std::to_string(at.count()) + " ";
    }
    *log += name + ":done ";
}

QCoro::Task<void> sleepThenCatch(VirtualClock* clock, std::shared_ptr<std::string> log) {
    try {
        co_await clock->sleep(1h);
        *log += "woke";
    } catch (const corvane::VirtualClockStopped&) {
        *log += "stopped";
    }
}

} // namespace

TEST(VirtualClock, SleepsWakeInOrderOfTheirTimes) {
    VirtualClock clock;
    auto log = std::make_shared<std::string>();
    ticker(&clock, 300ms, 2, log, "a");
    ticker(&clock, 200ms, 3, log, "b");
    ticker(&clock, 0ms, 1, log, "now");
    EXPECT_EQ(*log, "now@0 now:done ");
    EXPECT_EQ(clock.pendingSleeps(), 2u);

    clock.advance(199ms);
    EXPECT_EQ(*log, "now@0 now:done ");
    clock.advance(1ms);
    EXPECT_EQ(*log, "now@0 now:done b@200 ");
    // One advance runs the chains of sleeps that fall due inside it; equal times keep the order
    // in which the sleeps began (a's last one at 300, b's at 400).
    clock.advance(10s);
    EXPECT_EQ(*log, "now@0 now:done b@200 a@300 b@400 a@600 a:done b@600 b:done ");
    EXPECT_EQ(clock.pendingSleeps(), 0u);
    EXPECT_EQ(clock.now() - VirtualClock::defaultStart, 10200ms);
    EXPECT_EQ(clock.monotonicNow() - VirtualClock::MonotonicTime{}, 1000h + 10200ms);
}

TEST(VirtualClock, PendingSleepsFailWhenTheClockGoes) {
    auto log = std::make_shared<std::string>();
    {
        VirtualClock clock;
        sleepThenCatch(&clock, log);
        EXPECT_EQ(*log, "");
    }
    EXPECT_EQ(*log, "stopped");
}
