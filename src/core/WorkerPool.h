#pragma once

#include "core/WorkerPoolStopped.h"

#include <QFuture>
#include <QPromise>
#include <QThreadPool>
#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotask.h>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

namespace corvane {

// Threads owned by one object, for work that must not hold the main thread (durable writes, the
// keychain). With one thread the jobs run one at a time in the order they were given.
//
// The destructor drops the jobs that have not started and waits for the running ones, so a job may
// use whatever its owner declared before the pool, and going away costs at most the jobs under way
// (a keychain read held by an unlock prompt), not everything queued behind them. A dropped job's
// awaiter resumes later through the event loop with WorkerPoolStopped; every awaiter is resumed
// after the pool went and must check that its owner lives.
class WorkerPool {
public:
    explicit WorkerPool(int threads = 1) { pool_.setMaxThreadCount(threads); }
    ~WorkerPool() {
        pool_.clear();
        pool_.waitForDone();
    }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs `work` on the pool; the awaiting coroutine resumes on its own thread with the value or
    // the exception `work` ended with, or with WorkerPoolStopped when the pool went first.
    template <typename T>
    QCoro::Task<T> run(std::function<T()> work) {
        using Value = std::conditional_t<std::is_void_v<T>, bool, T>;
        struct Outcome {
            std::optional<Value> value;
            std::exception_ptr error;
        };
        auto outcome = std::make_shared<Outcome>();
        auto promise = std::make_shared<QPromise<void>>();
        const QFuture<void> done = promise->future();
        promise->start();
        // The job alone holds the promise: a job dropped unstarted takes it along, and a promise
        // that goes unfinished finishes its future as cancelled, which resumes the awaiter.
        // Touches the pool before the first suspension only: the coroutine may outlive it.
        std::function<void()> job = [outcome, promise = std::move(promise),
                                     work = std::move(work)] {
            try {
                if constexpr (std::is_void_v<T>) {
                    work();
                    outcome->value = true;
                } else {
                    outcome->value = work();
                }
            } catch (...) {
                outcome->error = std::current_exception();
            }
            promise->finish();
        };
        given_.fetch_add(1, std::memory_order_relaxed);
        pool_.start(std::move(job));
        co_await done;
        if (!outcome->value && !outcome->error) {
            throw WorkerPoolStopped();
        }
        if (outcome->error) {
            std::rethrow_exception(outcome->error);
        }
        if constexpr (!std::is_void_v<T>) {
            co_return std::move(*outcome->value);
        }
    }

    // Blocks until every job given so far has ended (tests, shutdown); returns how many jobs were
    // given in all, so that a caller can tell whether new ones came since.
    std::size_t waitForDone() {
        pool_.waitForDone();
        return given_.load(std::memory_order_relaxed);
    }

private:
    QThreadPool pool_;
    std::atomic<std::size_t> given_{0};
};

} // namespace corvane
