#pragma once

#include <QFuture>
#include <QPromise>
#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotask.h>

#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;

namespace corvane {

// The one thread that talks to the accessibility bus. libatspi is not thread-safe and its calls
// block until the other application answers, so every call runs here, with libatspi's connection
// dispatched by this thread's own GLib main context (never the main thread's). Jobs run one at a
// time in the order given. The destructor drops the jobs not started and joins the thread.
class AtspiThread {
public:
    // Runs `setUp` first on the new thread (connecting to the bus).
    explicit AtspiThread(std::function<void()> setUp);
    ~AtspiThread();
    AtspiThread(const AtspiThread&) = delete;
    AtspiThread& operator=(const AtspiThread&) = delete;

    bool here() const { return std::this_thread::get_id() == thread_.get_id(); }

    // Runs `job` here and blocks the caller until it ended; inline when called from here.
    template <typename T>
    T call(std::function<T()> job) {
        if (here()) {
            return job();
        }
        auto promise = std::make_shared<std::promise<T>>();
        std::future<T> result = promise->get_future();
        post([promise, job = std::move(job)] {
            try {
                if constexpr (std::is_void_v<T>) {
                    job();
                    promise->set_value();
                } else {
                    promise->set_value(job());
                }
            } catch (...) {
                promise->set_exception(std::current_exception());
            }
        });
        return result.get();
    }

    // Runs `job` here while the caller awaits; its exception comes back to the caller.
    QCoro::Task<void> run(std::function<void()> job);

    // Queues `job` and returns; one dropped unstarted is destroyed unrun. It must not throw.
    void post(std::function<void()> job);

private:
    GMainContext* context_;
    GMainLoop* loop_;
    std::thread thread_;
};

} // namespace corvane
