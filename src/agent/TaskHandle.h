#pragma once

#include "core/Clock.h"

#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>
#include <vector>

namespace corvane {

// The handle of a long-running main-thread task: the task keeps a copy and stops at its next
// check once cancel() was called on any copy. A default-made handle belongs to no task.
class TaskHandle {
public:
    static TaskHandle make() { return TaskHandle(std::make_shared<State>()); }
    TaskHandle() = default;

    // Marks the task cancelled and wakes its pending sleeps. They resume through the event loop,
    // never inside this call: the caller (an owner's destructor, say) may be halfway through
    // taking down what the woken task would look at.
    void cancel() const noexcept;
    bool cancelled() const noexcept { return !state_ || state_->cancelled; }
    explicit operator bool() const noexcept { return state_ != nullptr; }

    // Sleeps `duration` on `clock`; true when the whole time passed and the handle is still live.
    // A cancellation ends the sleep at the event loop's next turn, with false. `clock` must
    // outlive the sleep by a retireSlice; an error of the clock's sleep (a test clock going away)
    // comes out of this one.
    static QCoro::Task<bool> sleep(TaskHandle handle, Clock* clock,
                                   std::chrono::milliseconds duration);

    // The clock's own sleep behind one of ours cannot be withdrawn: it is taken in slices of this
    // length, so that a cancelled one is gone soon after (a program's last turns of the event
    // loop at exit free it) instead of staying pending for the rest of the time.
    static constexpr std::chrono::milliseconds retireSlice{250};

private:
    struct Wake;
    struct State {
        bool cancelled = false;
        std::vector<std::weak_ptr<Wake>> sleeps;
    };

    explicit TaskHandle(std::shared_ptr<State> state)
        : state_(std::move(state)) {}

    static QCoro::Task<> ring(TaskHandle handle, Clock* clock, Clock::MonotonicTime end,
                              std::shared_ptr<Wake> wake);

    std::shared_ptr<State> state_;
};

} // namespace corvane
