#pragma once

#include "core/WorkerPoolStopped.h"
#include "relay/GroupCommit.h"
#include "relay/RelayStore.h"

#include <QFuture>
#include <QPromise>
#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
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
// Writes given with write() or later() that queue up together are committed together, when the
// store offers GroupCommit: one transaction and one sync for the lot, each write inside a
// savepoint of its own, so that one failing write is undone alone and every caller still learns
// its own outcome, only once the group is stored. later()'s writes, awaited by nobody, wait a
// moment for company while commits are slow (Options); anything else given meanwhile commits them
// first, in order, except read()'s, which run ahead.
//
// Going away drops the jobs that have not started (their awaiters resume later through the event
// loop with WorkerPoolStopped), except later()'s writes, which are still committed, and waits for
// the one under way.
class RelayStoreThread {
public:
    using Opener = std::function<std::unique_ptr<RelayStore>()>;

    struct Options {
        // How long later()'s writes wait for an awaited one to share their commit...
        std::chrono::milliseconds linger{25};
        // ...while the last commit of writes took at least this long. A fast sync is better paid
        // at once, in the gap before the next command (waiting then cost a command's POST 2.4 ms
        // against 1.4 ms); a slow one is better shared (3.6 ms against 7.3 ms).
        std::chrono::microseconds slowCommit{1000};
        // The most writes one transaction holds.
        std::size_t groupLimit = 256;
    };

    // Opens the store on the new thread; throws what opening threw.
    explicit RelayStoreThread(Opener open);
    RelayStoreThread(Opener open, Options options);
    ~RelayStoreThread();
    RelayStoreThread(const RelayStoreThread&) = delete;
    RelayStoreThread& operator=(const RelayStoreThread&) = delete;

    // Runs `work` on the store's thread; the awaiting coroutine resumes on its own thread with the
    // value or the exception `work` ended with.
    template <typename T>
    QCoro::Task<T> run(std::function<T(RelayStore&)> work) {
        return awaited<T>(std::move(work), Kind::Alone);
    }

    // As run(), for a read of nothing later()'s writes change (a device's row, never the audit):
    // it runs ahead of those while they wait for company, so that looking a device up does not
    // commit them early with a sync of their own.
    template <typename T>
    QCoro::Task<T> read(std::function<T(RelayStore&)> work) {
        return awaited<T>(std::move(work), Kind::Ahead);
    }

    // As run(), for a write that may share a transaction with others queued beside it: `work`
    // must only write through the store's own operations (no transaction of its own). The caller
    // resumes once its write is committed, or with its failure.
    template <typename T>
    QCoro::Task<T> write(std::function<T(RelayStore&)> work) {
        return awaited<T>(std::move(work), Kind::Grouped);
    }

    // Runs `work` on the store's thread and waits for it: for start-up, and for the few callers
    // that cannot wait otherwise.
    template <typename T>
    T call(std::function<T(RelayStore&)> work) {
        auto result = std::make_shared<std::promise<T>>();
        auto value = std::make_shared<std::optional<Value<T>>>();
        std::future<T> answer = result->get_future();
        post(Job{
            [value, work = std::move(work)](RelayStore& store) { keep<T>(*value, work, store); },
            [result, value](std::exception_ptr error) {
                if (error) {
                    result->set_exception(error);
                } else if constexpr (std::is_void_v<T>) {
                    result->set_value();
                } else {
                    result->set_value(std::move(**value));
                }
            },
            Kind::Alone});
        try {
            return answer.get();
        } catch (const std::future_error&) {
            throw WorkerPoolStopped();
        }
    }

    // Runs `work` on the store's thread after what was given before, awaited by nobody: for writes
    // whose failure only needs telling (it is logged). Grouped, as write()'s are.
    void later(std::function<void(RelayStore&)> work);

    // The store itself, for an object that only ever uses it inside run() or call().
    RelayStore& store() noexcept { return *store_; }

private:
    enum class Kind { Alone, Ahead, Grouped, Lingering };
    struct Job {
        // Runs on the store's thread, inside the group's transaction when grouped.
        std::function<void(RelayStore&)> work;
        // Tells the caller, once the outcome is final (after the group's commit).
        std::function<void(std::exception_ptr)> settle;
        Kind kind = Kind::Alone;
        std::chrono::steady_clock::time_point queued = std::chrono::steady_clock::now();
    };
    template <typename T>
    using Value = std::conditional_t<std::is_void_v<T>, bool, T>;

    template <typename T>
    static void keep(std::optional<Value<T>>& slot, const std::function<T(RelayStore&)>& work,
                     RelayStore& store) {
        if constexpr (std::is_void_v<T>) {
            work(store);
            slot = true;
        } else {
            slot = work(store);
        }
    }

    template <typename T>
    QCoro::Task<T> awaited(std::function<T(RelayStore&)> work, Kind kind) {
        struct Outcome {
            std::optional<Value<T>> value;
            std::exception_ptr error;
        };
        auto outcome = std::make_shared<Outcome>();
        auto promise = std::make_shared<QPromise<void>>();
        const QFuture<void> done = promise->future();
        promise->start();
        // The job alone holds the promise: dropped unstarted, it finishes the future as cancelled.
        post(Job{[outcome, work = std::move(work)](RelayStore& store) {
                     keep<T>(outcome->value, work, store);
                 },
                 [outcome, promise = std::move(promise)](std::exception_ptr error) {
                     outcome->error = error;
                     if (error) {
                         outcome->value.reset();
                     }
                     promise->finish();
                 },
                 kind});
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

    void post(Job job);
    void loop(Opener open, std::promise<void> opened);
    // Whether every queued job is later()'s or read()'s.
    bool onlyLingeringOrAhead() const;
    std::deque<Job> takeAhead();
    void runAlone(Job& job);
    void runGroup(std::deque<Job>& group);

    const Options options_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::unique_ptr<RelayStore> store_;
    GroupCommit* grouping_ = nullptr;
    // How long the last writes took to commit; the store's thread's alone.
    std::chrono::steady_clock::duration lastCommit_{};
    std::thread thread_;
};

} // namespace corvane
