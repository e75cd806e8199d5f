#include "linuxdesktop/AtspiThread.h"

#include <glib.h>

namespace corvane {

namespace {

gboolean runJob(gpointer data) {
    (*static_cast<std::function<void()>*>(data))();
    return G_SOURCE_REMOVE;
}

void deleteJob(gpointer data) {
    delete static_cast<std::function<void()>*>(data);
}

} // namespace

AtspiThread::AtspiThread(std::function<void()> setUp)
    : context_(g_main_context_new())
    , loop_(g_main_loop_new(context_, FALSE)) {
    thread_ = std::thread([this, setUp = std::move(setUp)] {
        g_main_context_push_thread_default(context_);
        setUp();
        g_main_loop_run(loop_);
        g_main_context_pop_thread_default(context_);
    });
}

AtspiThread::~AtspiThread() {
    g_main_loop_quit(loop_);
    g_main_context_wakeup(context_);
    thread_.join();
    g_main_loop_unref(loop_);
    // Destroys the jobs still queued: their awaiters resume as stopped.
    g_main_context_unref(context_);
}

void AtspiThread::post(std::function<void()> job) {
    g_main_context_invoke_full(context_, G_PRIORITY_DEFAULT, runJob,
                               new std::function<void()>(std::move(job)), deleteJob);
}

QCoro::Task<void> AtspiThread::run(std::function<void()> job) {
    auto error = std::make_shared<std::exception_ptr>();
    auto ran = std::make_shared<bool>(false);
    auto promise = std::make_shared<QPromise<void>>();
    const QFuture<void> done = promise->future();
    promise->start();
    // The job alone holds the promise: dropped unstarted, it finishes the future as cancelled.
    post([error, ran, promise = std::move(promise), job = std::move(job)] {
        try {
            job();
        } catch (...) {
            *error = std::current_exception();
        }
        *ran = true;
        promise->finish();
    });
    co_await done;
    if (*error) {
        std::rethrow_exception(*error);
    }
    if (!*ran) {
        throw std::runtime_error("the accessibility thread stopped");
    }
}

} // namespace corvane
