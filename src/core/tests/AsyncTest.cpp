// The main-thread helpers for asynchronous work: the serial gate, the worker pool and detached
// tasks.
#include "core/Detached.h"
#include "core/SerialGate.h"
#include "core/WorkerPool.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <qcoro/qcorotimer.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <latch>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace corvane {
namespace {

class Async : public ::testing::Test {
protected:
    // Runs the event loop until `done` holds or ten seconds have passed.
    static bool spin(const std::function<bool()>& done) {
        QElapsedTimer timer;
        timer.start();
        while (!done() && timer.elapsed() < 10000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return done();
    }

    int argc = 1;
    char name[6] = "tests";
    char* argv[2] = {name, nullptr};
    QCoreApplication application{argc, argv};
};

// Waits until `open` is set by the test, then records its name.
struct Door {
    bool open = false;
};

QCoro::Task<> enterAndRecord(SerialGate* gate, std::string name, std::shared_ptr<Door> door,
                             std::shared_ptr<std::vector<std::string>> log) {
    SerialGate::Pass pass = co_await gate->enter();
    log->push_back(name + " in");
    while (door && !door->open) {
        co_await QCoro::sleepFor(std::chrono::milliseconds(1));
    }
    log->push_back(name + " out");
}

TEST_F(Async, GateAdmitsInArrivalOrderAndHandsOverThroughTheEventLoop) {
    auto gate = std::make_unique<SerialGate>();
    auto log = std::make_shared<std::vector<std::string>>();
    auto door = std::make_shared<Door>();
    enterAndRecord(gate.get(), "a", door, log);
    enterAndRecord(gate.get(), "b", nullptr, log);
    enterAndRecord(gate.get(), "c", nullptr, log);
    EXPECT_EQ(*log, (std::vector<std::string>{"a in"}));
    EXPECT_EQ(gate->occupancy(), 3u);

    door->open = true;
    ASSERT_TRUE(spin([&] { return log->size() == 6; }));
    EXPECT_EQ(*log, (std::vector<std::string>{"a in", "a out", "b in", "b out", "c in", "c out"}));
    EXPECT_EQ(gate->occupancy(), 0u);

    // Free again: the next entrant goes straight in.
    enterAndRecord(gate.get(), "d", nullptr, log);
    EXPECT_EQ(log->back(), "d out");
}

TEST_F(Async, PoolRunsJobsInOrderAndBringsBackValuesAndErrors) {
    WorkerPool pool;
    auto order = std::make_shared<std::vector<int>>();
    std::vector<std::shared_ptr<int>> results;
    const auto run = [&](int i) -> QCoro::Task<> {
        auto result = std::make_shared<int>(-1);
        results.push_back(result);
        return [](WorkerPool* p, int n, std::shared_ptr<std::vector<int>> seen,
                  std::shared_ptr<int> out) -> QCoro::Task<> {
            std::function<int()> job = [n, seen] {
                seen->push_back(n); // one thread at a time: no lock needed
                return n * n;
            };
            *out = co_await p->run(std::move(job));
        }(&pool, i, order, result);
    };
    for (int i = 0; i < 20; ++i) {
        run(i);
    }
    // A fast job may finish before its coroutine suspends, so the last value can arrive first.
    ASSERT_TRUE(spin([&] {
        return std::all_of(results.begin(), results.end(), [](const auto& r) { return *r != -1; });
    }));
    pool.waitForDone();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ((*order)[std::size_t(i)], i);
        EXPECT_EQ(*results[std::size_t(i)], i * i);
    }

    auto caught = std::make_shared<std::string>();
    [](WorkerPool* p, std::shared_ptr<std::string> out) -> QCoro::Task<> {
        try {
            std::function<void()> job = [] {
                throw std::runtime_error("disk full");
            };
            co_await p->run(std::move(job));
        } catch (const std::runtime_error& e) {
            *out = e.what();
        }
    }(&pool, caught);
    ASSERT_TRUE(spin([&] { return !caught->empty(); }));
    EXPECT_EQ(*caught, "disk full");
}

// The pool's owner goes while a job still runs (a keychain read held by an unlock prompt) and
// more wait behind it: its destructor waits for the running job, so that job never touches freed
// memory, and drops the queued ones, which never run; every awaiting coroutine still ends, the
// dropped ones with WorkerPoolStopped.
TEST_F(Async, PoolOwnerWaitsForTheRunningJobAndDropsTheQueuedOnes) {
    struct Owner {
        std::string secret = "kept";
        WorkerPool pool; // after what its jobs use
    };
    auto owner = std::make_unique<Owner>();
    std::latch started(1);
    std::atomic<bool> release{false};
    std::atomic<int> queuedRuns{0};
    auto outcomes = std::make_shared<std::vector<std::string>>();
    [](Owner* o, std::latch* go, std::atomic<bool>* hold,
       std::shared_ptr<std::vector<std::string>> out) -> QCoro::Task<> {
        std::function<std::string()> job = [o, go, hold] {
            go->count_down();
            while (!hold->load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return o->secret;
        };
        out->push_back(co_await o->pool.run(std::move(job)));
    }(owner.get(), &started, &release, outcomes);
    for (int i = 0; i < 3; ++i) {
        [](Owner* o, std::atomic<int>* runs,
           std::shared_ptr<std::vector<std::string>> out) -> QCoro::Task<> {
            std::string outcome;
            try {
                // Were it run after its owner went, this would read freed memory.
                std::function<std::string()> job = [o, runs] {
                    ++*runs;
                    return o->secret;
                };
                outcome = co_await o->pool.run(std::move(job));
            } catch (const WorkerPoolStopped& stopped) {
                outcome = stopped.what();
            }
            out->push_back(outcome);
        }(owner.get(), &queuedRuns, outcomes);
    }
    started.wait();
    std::thread releaser([&release] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        release = true;
    });
    owner.reset(); // blocks until the running job has read the secret, not for the rest
    releaser.join();
    ASSERT_TRUE(spin([&] { return outcomes->size() == 4; }));
    EXPECT_EQ(queuedRuns.load(), 0);
    const std::string dropped = WorkerPoolStopped().what();
    std::sort(outcomes->begin(), outcomes->end());
    std::vector<std::string> expected{"kept", dropped, dropped, dropped};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(*outcomes, expected);
}

QCoro::Task<> failLater(std::shared_ptr<Door> door) {
    while (!door->open) {
        co_await QCoro::sleepFor(std::chrono::milliseconds(1));
    }
    throw std::runtime_error("late failure");
}

TEST_F(Async, DetachedTaskHandsItsErrorOver) {
    auto door = std::make_shared<Door>();
    auto message = std::make_shared<std::string>();
    startDetached(failLater(door), [message](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            *message = e.what();
        }
        throw std::logic_error("a handler that fails is not fatal");
    });
    door->open = true;
    ASSERT_TRUE(spin([&] { return !message->empty(); }));
    EXPECT_EQ(*message, "late failure");
}

} // namespace
} // namespace corvane
