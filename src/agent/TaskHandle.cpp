#include "agent/TaskHandle.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <coroutine>
#include <exception>
#include <utility>

namespace corvane {

// One sleep's wake-up, rung by whichever comes first: its time, or a cancellation.
struct TaskHandle::Wake {
    bool rung = false;
    std::exception_ptr error;
    std::coroutine_handle<> waiter;

    void fire() {
        if (rung) {
            return;
        }
        rung = true;
        if (std::coroutine_handle<> resumed = std::exchange(waiter, {})) {
            resumed.resume();
        }
    }

    struct Awaiter {
        Wake* wake;
        bool await_ready() const noexcept { return wake->rung; }
        void await_suspend(std::coroutine_handle<> handle) noexcept { wake->waiter = handle; }
        void await_resume() const noexcept {}
    };
};

void TaskHandle::cancel() const noexcept {
    if (!state_ || state_->cancelled) {
        return;
    }
    state_->cancelled = true;
    QCoreApplication* application = QCoreApplication::instance();
    for (const std::weak_ptr<Wake>& pending : std::exchange(state_->sleeps, {})) {
        std::shared_ptr<Wake> wake = pending.lock();
        if (wake && !wake->rung && application != nullptr) {
            QMetaObject::invokeMethod(
                application, [wake] { wake->fire(); }, Qt::QueuedConnection);
        }
    }
}

QCoro::Task<> TaskHandle::ring(TaskHandle handle, Clock* clock, Clock::MonotonicTime end,
                               std::shared_ptr<Wake> wake) {
    try {
        while (!wake->rung && !handle.cancelled()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(end - clock->monotonicNow());
            if (left <= std::chrono::milliseconds::zero()) {
                break;
            }
            co_await clock->sleep(std::min(left, retireSlice));
        }
    } catch (...) {
        wake->error = std::current_exception();
    }
    // Does nothing when the cancellation's own wake-up came first.
    wake->fire();
}

QCoro::Task<bool> TaskHandle::sleep(TaskHandle handle, Clock* clock,
                                    std::chrono::milliseconds duration) {
    if (handle.cancelled()) {
        co_return false;
    }
    if (duration <= std::chrono::milliseconds::zero()) {
        co_return true;
    }
    const auto wake = std::make_shared<Wake>();
    std::vector<std::weak_ptr<Wake>>& sleeps = handle.state_->sleeps;
    std::erase_if(sleeps, [](const std::weak_ptr<Wake>& other) { return other.expired(); });
    sleeps.push_back(wake);
    ring(handle, clock, clock->monotonicNow() + duration, wake);
    co_await Wake::Awaiter{wake.get()};
    if (wake->error && !handle.cancelled()) {
        std::rethrow_exception(wake->error);
    }
    co_return !handle.cancelled();
}

} // namespace corvane
