#pragma once

#include "CorvanePlatform/Clock.h"

#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>

namespace corvane {

// The handle of a long-running main-thread task: the task keeps a copy and stops at its next
// check once cancel() was called on any copy. A default-made handle belongs to no task.
class TaskHandle {
public:
    static TaskHandle make() { return TaskHandle(std::make_shared<bool>(false)); }
    TaskHandle() = default;

    void cancel() const noexcept {
        if (flag_) {
            *flag_ = true;
        }
    }
    bool cancelled() const noexcept { return !flag_ || *flag_; }
    explicit operator bool() const noexcept { return flag_ != nullptr; }

    // The longest a cancelled task sleeps on before it sees the cancellation.
    static constexpr std::chrono::milliseconds sleepSlice{250};

    // Sleeps `duration` on `clock` in slices of at most sleepSlice, so that a cancelled task (or
    // one whose owner went) ends within a slice instead of at the end of a long wait; true when
    // the whole time passed and the handle is still live. `clock` must outlive the sleep.
    static QCoro::Task<bool> sleep(TaskHandle handle, Clock* clock,
                                   std::chrono::milliseconds duration);

private:
    explicit TaskHandle(std::shared_ptr<bool> flag)
        : flag_(std::move(flag)) {}

    std::shared_ptr<bool> flag_;
};

} // namespace corvane
