#pragma once

#include "core/WorkerPoolStopped.h"
#include "relay/RelayStore.h"

#include <QFuture>
#include <QPromise>
#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotask.h>

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>

namespace corvane {

// The relay's store on a thread of its own: the store is opened there, every operation runs there
// one at a time in the order given, and it is closed there. A database that takes its time (a
// commit's sync, a busy file, a server far away) then never holds the main thread, where every
// device's session lives.
//
// Going away drops the jobs that have not started (their awaiters resume later through the event
// loop with WorkerPoolStopped) and waits for the one under way.
class RelayStoreThread {
public:
    using Opener = std::function<std::unique_ptr<RelayStore>()>;

    // Opens the store on the new thread; throws what opening threw.
    explicit RelayStoreThread(Opener open);
    ~RelayStoreThread();
    RelayStoreThread(const RelayStoreThread&) = delete;
    RelayStoreThread& operator=(const RelayStoreThread&) = delete;

    // Runs `work` on the store's thread; the awaiting coroutine resumes on its own thread with the
    // value or the exception `work` ended with.
    template <typename T>
    QCoro::Task<T> run(std::function<T(RelayStore&)> work) {
        using Value = std::conditional_t<std::is_void_v<T>, bool, T>;
        struct Outcome {
            std::optional<Value> value;
            std::exception_ptr error;
        };
        auto outcome = std::make_shared<Outcome>();
        auto promise = std::make_shared<QPromise<void>>();
        const QFuture<void> done = promise->future();
        promise->start();
        // The job alone holds the promise: dropped unstarted, it finishes the future as cancelled.
        post([this, outcome, promise = std::move(promise), work = std::move(work)] {
            try {
                if constexpr (std::is_void_v<T>) {
                    work(*store_);
                    outcome->value = true;
                } else {
                    outcome->value = work(*store_);
                }
            } catch (...) {
                outcome->error = std::current_exception();
            }
            promise->finish();
        });
        co_await done;
        if (outcome->error) {
            std::rethrow_exception(outcome->error);
        }
        if (!outcome->value) {
            throw WorkerPoolStopped();
        }
        if constexpr (!std::is_void_v<T>) {
            co_return std::move(*outcome->value);
        }
    }

    // Runs `work` on the store's thread and waits for it: for start-up, and for the few callers
    // that cannot wait otherwise.
    template <typename T>
    T call(std::function<T(RelayStore&)> work) {
        auto result = std::make_shared<std::promise<T>>();
        std::future<T> answer = result->get_future();
        post([this, result, work = std::move(work)] {
            try {
                if constexpr (std::is_void_v<T>) {
                    work(*store_);
                    result->set_value();
                } else {
                    result->set_value(work(*store_));
                }
            } catch (...) {
                result->set_exception(std::current_exception());
            }
        });
        try {
            return answer.get();
        } catch (const std::future_error&) {
            throw WorkerPoolStopped();
        }
    }

    // Runs `work` on the store's thread after what was given before, awaited by nobody: for writes
    // whose failure only needs telling (it is logged). Dropped when the thread goes first.
    void later(std::function<void(RelayStore&)> work);

    // The store itself, for an object that only ever uses it inside run() or call().
    RelayStore& store() noexcept { return *store_; }

private:
    void post(std::function<void()> job);
    void loop(Opener open, std::promise<void> opened);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::unique_ptr<RelayStore> store_;
    std::thread thread_;
};

} // namespace corvane
