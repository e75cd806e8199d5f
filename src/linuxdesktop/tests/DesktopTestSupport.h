#pragma once

// Helpers of the desktop tests: an event loop for their tasks, files written with a mode, and
// waits on real desktop services bounded only to end a failing test.

#include "core/JSON.h"
#include "platform/FocusModes.h"
#include "support/FakePlatform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>

namespace corvane::desktop_test {

// The tasks resume through Qt's event loop; one application object serves the whole run.
inline void ensureApplication() {
    if (QCoreApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "VeltoLinuxDesktopTests";
        static char* argv[] = {name, nullptr};
        static QCoreApplication application(argc, argv);
    }
}

// Runs events until `done` holds or `budget` of real time has passed; whether it held.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds budget = std::chrono::seconds(10)) {
    ensureApplication();
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > budget.count()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

// A task's outcome in the form of test::watch (its JSON, "ok", or the error code).
template <typename T>
std::string finish(QCoro::Task<T>&& task,
                   std::chrono::milliseconds budget = std::chrono::seconds(15)) {
    ensureApplication();
    const auto probe = test::watch(std::move(task));
    waitUntil([&probe] { return probe->done; }, budget);
    return probe->outcome;
}

inline void writeFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A Do Not Disturb switch's outcome as a JSON string ("confirmed", "unavailable", ...).
inline QCoro::Task<JSON> focusOutcome(FocusModes& modes, bool enabled,
                                      std::function<void()> before) {
    const FocusModes::Outcome outcome = co_await modes.setDoNotDisturb(enabled, std::move(before));
    static constexpr std::array<const char*, 4> names{"confirmed", "unavailable", "refused",
                                                      "not_confirmed"};
    co_return JSON(std::string(names.at(static_cast<std::size_t>(outcome))));
}

// Why the surroundings the wrapper sets up are missing; empty when they are there.
inline std::string unavailable(const char* variable) {
    const char* reason = std::getenv(variable);
    return reason != nullptr ? std::string(reason) : std::string();
}

} // namespace corvane::desktop_test
