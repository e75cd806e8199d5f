#include "core/Detached.h"

namespace corvane {

namespace {

QCoro::Task<> guarded(QCoro::Task<> task, std::function<void(std::exception_ptr)> onError) {
    std::exception_ptr error;
    try {
        co_await std::move(task);
    } catch (...) {
        error = std::current_exception();
    }
    if (error && onError) {
        try {
            onError(error);
        } catch (...) {
        }
    }
}

} // namespace

void startDetached(QCoro::Task<> task, std::function<void(std::exception_ptr)> onError) {
    guarded(std::move(task), std::move(onError));
}

} // namespace corvane
