// The long-running tasks' handle: its sleep ends with the time asked for, or at the event loop's
// next turn once cancelled, whatever is left of the time.

#include "agent/TaskHandle.h"
#include "support/VirtualClock.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

namespace corvane {
namespace {

using namespace std::chrono_literals;

struct Slept {
    std::optional<bool> whole; // absent until the sleep ends
    std::string error;
};

QCoro::Task<> sleepOn(TaskHandle handle, Clock* clock, std::chrono::milliseconds duration,
                      std::shared_ptr<Slept> slept) {
    try {
        slept->whole = co_await TaskHandle::sleep(handle, clock, duration);
    } catch (const VirtualClockStopped&) {
        slept->error = "stopped";
        slept->whole = false;
    }
}

std::shared_ptr<Slept> sleeping(TaskHandle handle, Clock& clock,
                                std::chrono::milliseconds duration) {
    auto slept = std::make_shared<Slept>();
    sleepOn(std::move(handle), &clock, duration, slept);
    return slept;
}

TEST(TaskHandleSleep, EndsWithItsTimeOrAtOnceWhenCancelled) {
    VirtualClock clock;
    const TaskHandle handle = TaskHandle::make();
    auto whole = sleeping(handle, clock, 60s);
    clock.advance(60s - 1ms);
    EXPECT_FALSE(whole->whole.has_value());
    clock.advance(1ms);
    EXPECT_EQ(whole->whole, true);

    // Two sleeps on one task: a cancellation on any copy ends both with no virtual time passing,
    // and not inside cancel() itself (the canceller may be taking down what they look at).
    auto first = sleeping(handle, clock, 60s);
    auto second = sleeping(handle, clock, 5s);
    const TaskHandle copy = handle;
    copy.cancel();
    EXPECT_FALSE(first->whole.has_value());
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(first->whole, false);
    EXPECT_EQ(second->whole, false);
    // The clock's own sleeps behind them retire within a slice, touching nothing.
    EXPECT_EQ(clock.pendingSleeps(), 2u);
    clock.advance(TaskHandle::retireSlice);
    EXPECT_EQ(clock.pendingSleeps(), 0u);

    // Already cancelled, or a default handle: no sleep at all.
    EXPECT_EQ(sleeping(handle, clock, 60s)->whole, false);
    EXPECT_EQ(sleeping(TaskHandle(), clock, 60s)->whole, false);
    EXPECT_EQ(clock.pendingSleeps(), 0u);
}

TEST(TaskHandleSleep, AClockGoingAwayEndsTheSleepWithItsError) {
    auto clock = std::make_unique<VirtualClock>();
    auto slept = sleeping(TaskHandle::make(), *clock, 60s);
    clock.reset();
    EXPECT_EQ(slept->error, "stopped");
}

} // namespace
} // namespace corvane
