#include "relay/RelayStoreThread.h"

#include <QtGlobal>

#include <vector>

namespace corvane {

RelayStoreThread::RelayStoreThread(Opener open)
    : RelayStoreThread(std::move(open), Options{}) {}

RelayStoreThread::RelayStoreThread(Opener open, Options options)
    : options_(options) {
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
    std::deque<Job> dropped;
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        // Writes nobody awaits are still stored: a finished command keeps its outcome.
        std::deque<Job> kept;
        for (Job& job : jobs_) {
            (job.kind == Kind::Lingering ? kept : dropped).push_back(std::move(job));
        }
        jobs_.swap(kept);
    }
    wake_.notify_one();
    thread_.join();
    // Dropped here, outside the lock: their promises end their awaiters' waits.
    dropped.clear();
}

void RelayStoreThread::post(Job job) {
    bool taken = false;
    {
        const std::lock_guard lock(mutex_);
        if (!stopping_) {
            jobs_.push_back(std::move(job));
            taken = true;
        }
    }
    wake_.notify_one();
    if (!taken) {
        // A job given after the end is dropped at once, outside the lock.
        job = Job{};
    }
}

void RelayStoreThread::later(std::function<void(RelayStore&)> work) {
    post(Job{std::move(work),
             [](std::exception_ptr error) {
                 if (!error) {
                     return;
                 }
                 try {
                     std::rethrow_exception(error);
                 } catch (const std::exception& failure) {
                     qWarning("relay: a write failed: %s", failure.what());
                 } catch (...) {
                     qWarning("relay: a write failed");
                 }
             },
             Kind::Lingering});
}

bool RelayStoreThread::onlyLingeringOrAhead() const {
    for (const Job& job : jobs_) {
        if (job.kind != Kind::Lingering && job.kind != Kind::Ahead) {
            return false;
        }
    }
    return true;
}

std::deque<RelayStoreThread::Job> RelayStoreThread::takeAhead() {
    std::deque<Job> ahead;
    std::deque<Job> waiting;
    for (Job& job : jobs_) {
        (job.kind == Kind::Ahead ? ahead : waiting).push_back(std::move(job));
    }
    jobs_.swap(waiting);
    return ahead;
}

void RelayStoreThread::runAlone(Job& job) {
    std::exception_ptr error;
    try {
        job.work(*store_);
    } catch (...) {
        error = std::current_exception();
    }
    job.settle(error);
}

void RelayStoreThread::runGroup(std::deque<Job>& group) {
    if (group.size() == 1 || grouping_ == nullptr) {
        for (Job& job : group) {
            runAlone(job);
        }
        return;
    }
    std::vector<std::exception_ptr> errors(group.size());
    try {
        grouping_->beginGroup();
        for (std::size_t i = 0; i < group.size(); ++i) {
            grouping_->markWrite();
            try {
                group[i].work(*store_);
            } catch (...) {
                errors[i] = std::current_exception();
                grouping_->undoWrite();
                continue;
            }
            grouping_->keepWrite();
        }
        grouping_->commitGroup();
    } catch (...) {
        // The transaction itself failed, not one write: nothing of the group is stored. Each
        // write is tried again on its own, so that none fails for another's trouble.
        grouping_->abandonGroup();
        for (Job& job : group) {
            runAlone(job);
        }
        return;
    }
    for (std::size_t i = 0; i < group.size(); ++i) {
        group[i].settle(errors[i]);
    }
}

void RelayStoreThread::loop(Opener open, std::promise<void> opened) {
    try {
        store_ = open();
        grouping_ = dynamic_cast<GroupCommit*>(store_.get());
        opened.set_value();
    } catch (...) {
        opened.set_exception(std::current_exception());
        return;
    }
    std::unique_lock lock(mutex_);
    for (;;) {
        if (jobs_.empty()) {
            if (stopping_) {
                break;
            }
            wake_.wait(lock);
            continue;
        }
        std::deque<Job> batch;
        if (!stopping_ && onlyLingeringOrAhead()) {
            batch = takeAhead();
            if (batch.empty() && lastCommit_ >= options_.slowCommit &&
                jobs_.size() < options_.groupLimit &&
                std::chrono::steady_clock::now() < jobs_.front().queued + options_.linger) {
                // Nobody waits on these: give the next awaited write the chance to share their
                // commit (its sync is then the only one).
                wake_.wait_until(lock, jobs_.front().queued + options_.linger);
                continue;
            }
        }
        if (batch.empty()) {
            batch.swap(jobs_);
        }
        lock.unlock();
        // In the order given: runs of grouped writes commit together, anything else alone.
        while (!batch.empty()) {
            std::deque<Job> group;
            while (!batch.empty() &&
                   (batch.front().kind == Kind::Grouped || batch.front().kind == Kind::Lingering) &&
                   group.size() < options_.groupLimit) {
                group.push_back(std::move(batch.front()));
                batch.pop_front();
            }
            if (!group.empty()) {
                const auto started = std::chrono::steady_clock::now();
                runGroup(group);
                lastCommit_ = std::chrono::steady_clock::now() - started;
                continue;
            }
            runAlone(batch.front());
            batch.pop_front();
        }
        lock.lock();
    }
    lock.unlock();
    // Closed on the thread that opened it, as Qt SQL requires.
    grouping_ = nullptr;
    store_.reset();
}

} // namespace corvane
