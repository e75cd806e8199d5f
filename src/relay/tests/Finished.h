#pragma once

#include <qcoro/qcorotask.h>

#include <exception>
#include <memory>
#include <optional>
#include <type_traits>

namespace corvane::test {

namespace detail {

template <typename T>
QCoro::Task<> settle(QCoro::Task<T> task, std::shared_ptr<std::optional<T>> value,
                     std::shared_ptr<std::exception_ptr> error) {
    try {
        value->emplace(co_await std::move(task));
    } catch (...) {
        *error = std::current_exception();
    }
}

inline QCoro::Task<> settle(QCoro::Task<> task, std::shared_ptr<std::exception_ptr> error) {
    try {
        co_await std::move(task);
    } catch (...) {
        *error = std::current_exception();
    }
}

} // namespace detail

// Runs a coroutine to its end with the event loop turning and gives its value, or throws what it
// threw (QCoro::waitFor alone never returns from a task that throws).
template <typename T>
T finished(QCoro::Task<T> task) {
    auto error = std::make_shared<std::exception_ptr>();
    if constexpr (std::is_void_v<T>) {
        QCoro::waitFor(detail::settle(std::move(task), error));
        if (*error) {
            std::rethrow_exception(*error);
        }
    } else {
        auto value = std::make_shared<std::optional<T>>();
        QCoro::waitFor(detail::settle(std::move(task), value, error));
        if (*error) {
            std::rethrow_exception(*error);
        }
        return std::move(**value);
    }
}

} // namespace corvane::test
