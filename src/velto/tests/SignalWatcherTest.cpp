#include "velto/SignalWatcher.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <stdexcept>

namespace corvane {
namespace {

TEST(SignalWatcher, DeliversTerminationSignalsOnTheEventLoopAndRestoresHandlers) {
    std::vector<int> seen;
    {
        SignalWatcher watcher;
        QObject::connect(&watcher, &SignalWatcher::received, &watcher,
                         [&](int number) { seen.push_back(number); });
        EXPECT_THROW(SignalWatcher second, std::logic_error);

        std::raise(SIGTERM);
        std::raise(SIGINT);
        // Nothing runs inside the handler itself: the signals arrive through the event loop.
        EXPECT_TRUE(seen.empty());
        QElapsedTimer timer;
        timer.start();
        while (seen.size() < 2 && timer.elapsed() < 20000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
    }
    EXPECT_EQ(seen, (std::vector<int>{SIGTERM, SIGINT}));

    struct sigaction current {};
    ::sigaction(SIGTERM, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_DFL);
    // Once the first is gone, another may be made.
    EXPECT_NO_THROW(SignalWatcher again);
}

} // namespace
} // namespace corvane
