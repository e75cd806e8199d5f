#include "relay/RelayStoreThread.h"

#include <QtGlobal>

namespace corvane {

RelayStoreThread::RelayStoreThread(Opener open) {
    std::promise<void> opened;
    std::future<void> ready = opened.get_future();
    thread_ = std::thread(&RelayStoreThread::loop, this, std::move(open), std::move(opened));
    try {
        ready.get();
    } catch (...) {
        thread_.join();
        throw;
    }
}

RelayStoreThread::~RelayStoreThread() {
    std::deque<std::function<void()>> dropped;
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped.swap(jobs_);
    }
    wake_.notify_one();
    thread_.join();
    // Dropped here, outside the lock: their promises end their awaiters' waits.
    dropped.clear();
}

void RelayStoreThread::post(std::function<void()> job) {
    {
        const std::lock_guard lock(mutex_);
        if (!stopping_) {
            jobs_.push_back(std::move(job));
            job = nullptr;
        }
    }
    wake_.notify_one();
    // A job given after the end is dropped at once, outside the lock.
    job = nullptr;
}

void RelayStoreThread::later(std::function<void(RelayStore&)> work) {
    post([this, work = std::move(work)] {
        try {
            work(*store_);
        } catch (const std::exception& error) {
            qWarning("relay: a write failed: %s", error.what());
        }
    });
}

void RelayStoreThread::loop(Opener open, std::promise<void> opened) {
    try {
        store_ = open();
        opened.set_value();
    } catch (...) {
        opened.set_exception(std::current_exception());
        return;
    }
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) {
                break;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
    // Closed on the thread that opened it, as Qt SQL requires.
    store_.reset();
}

} // namespace corvane
