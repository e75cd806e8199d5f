#include "Corvane/TaskHandle.h"

#include <algorithm>

namespace corvane {

QCoro::Task<bool> TaskHandle::sleep(TaskHandle handle, Clock* clock,
                                    std::chrono::milliseconds duration) {
    const Clock::MonotonicTime end = clock->monotonicNow() + duration;
    while (!handle.cancelled()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - clock->monotonicNow());
        if (left <= std::chrono::milliseconds::zero()) {
            co_return true;
        }
        co_await clock->sleep(std::min(left, sleepSlice));
    }
    co_return false;
}

} // namespace corvane
