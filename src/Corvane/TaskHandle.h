#pragma once

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

private:
    explicit TaskHandle(std::shared_ptr<bool> flag)
        : flag_(std::move(flag)) {}

    std::shared_ptr<bool> flag_;
};

} // namespace corvane
