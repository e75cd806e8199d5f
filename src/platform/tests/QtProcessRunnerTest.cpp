#include "platform/QtProcessRunner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <sys/types.h>

using corvane::ProcessRunner;
using corvane::ProcessStartError;
using corvane::QtProcessRunner;

namespace {

class QtProcessRunnerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (QCoreApplication::instance() == nullptr) {
            static int argc = 1;
            static char name[] = "VeltoPlatformTests";
            static char* argv[] = {name, nullptr};
            app_ = new QCoreApplication(argc, argv);
        }
    }
    static void TearDownTestSuite() {
        delete app_;
        app_ = nullptr;
    }

    // Polls without an event loop, as the tool runner does, for at most `limitMs` of real time.
    static std::optional<int> waitForExit(ProcessRunner::Process& p, int limitMs = 10'000) {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            if (auto status = p.exitStatus()) {
                return status;
            }
            if (timer.elapsed() > limitMs) {
                return std::nullopt;
            }
            QThread::msleep(5);
        }
    }

    inline static QCoreApplication* app_ = nullptr;
    QtProcessRunner runner_;
};

// Generous bounds for what a loaded machine does in milliseconds; reached only when a test fails.
constexpr int patienceMs = 10'000;

// Whether `pid` has ended (a zombie that its parent has not reaped yet has ended too).
bool ended(pid_t pid) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) {
        return true;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

bool endsSoon(pid_t pid) {
    QElapsedTimer timer;
    timer.start();
    while (!ended(pid)) {
        if (timer.elapsed() > patienceMs) {
            return false;
        }
        QThread::msleep(5);
    }
    return true;
}

// The process id a tool wrote into `path`, once it is there.
std::optional<pid_t> writtenPid(const QString& path) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() <= patienceMs) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray text = file.readAll();
            bool ok = false;
            const int pid = text.trimmed().toInt(&ok);
            if (ok && text.endsWith('\n') && pid > 0) {
                return static_cast<pid_t>(pid);
            }
        }
        QThread::msleep(5);
    }
    return std::nullopt;
}

} // namespace

TEST_F(QtProcessRunnerTest, ReportsTheExitStatus) {
    struct Row {
        const char* script;
        int status;
    };
    // `cat` ends at once on an empty input (a pipe left open would keep it waiting), and output
    // written to nowhere does not stop the tool.
    for (const Row row : {Row{"exit 0", 0}, Row{"exit 1", 1}, Row{"kill -KILL $$", 128 + 9},
                          Row{"cat; echo out; echo err >&2; exit 77", 77}}) {
        SCOPED_TRACE(row.script);
        auto process = runner_.start("/bin/sh", {"-c", row.script});
        EXPECT_EQ(waitForExit(*process), row.status);
        // Asking again gives the same answer.
        EXPECT_EQ(process->exitStatus(), row.status);
    }
}

TEST_F(QtProcessRunnerTest, AToolThatCannotStartThrows) {
    QTemporaryDir dir;
    const std::string notExecutable = dir.filePath(QStringLiteral("plain")).toStdString();
    {
        QFile file(QString::fromStdString(notExecutable));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\nexit 0\n");
    }
    EXPECT_THROW(runner_.start("/nonexistent/tool", {}), ProcessStartError);
    EXPECT_THROW(runner_.start(notExecutable, {}), ProcessStartError);
}

TEST_F(QtProcessRunnerTest, WhatAToolStartedEndsWithIt) {
    enum class End { Terminate, Drop, DropAfterExit };
    struct Row {
        const char* name;
        // Starts a child that would run for 30 seconds and writes its id to the file $1.
        const char* script;
        End end;
    };
    const char* waiting = "sleep 30 & echo $! > \"$1\"; wait";
    // The tool and its child ignore the request to end (an ignored signal stays ignored across
    // exec): only the kill after the grace ends them.
    const char* deaf = "trap '' TERM; sleep 30 & echo $! > \"$1\"; wait";
    const Row rows[] = {
        {"terminated", waiting, End::Terminate},
        {"terminated, deaf", deaf, End::Terminate},
        {"dropped while running", waiting, End::Drop},
        {"dropped while running, deaf", deaf, End::Drop},
        {"left behind by a tool that exited", "sleep 30 & echo $! > \"$1\"; exit 0",
         End::DropAfterExit},
    };
    QTemporaryDir dir;
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString pidFile = dir.filePath(QString::number(++n));
        auto process = runner_.start("/bin/sh", {"-c", row.script, "tool", pidFile.toStdString()});
        const std::optional<pid_t> child = writtenPid(pidFile);
        ASSERT_TRUE(child.has_value());
        switch (row.end) {
        case End::Terminate: {
            EXPECT_EQ(process->exitStatus(), std::nullopt);
            process->terminate();
            // Polling sees the tool end, even the deaf one, while the handle still exists.
            EXPECT_NE(waitForExit(*process, patienceMs).value_or(0), 0);
            EXPECT_TRUE(endsSoon(*child));
            break;
        }
        case End::Drop: {
            EXPECT_EQ(process->exitStatus(), std::nullopt);
            QElapsedTimer timer;
            timer.start();
            process.reset();
            // Far less than the 30 s the tool would run, with room for a loaded machine.
            EXPECT_LT(timer.elapsed(), 20'000);
            EXPECT_TRUE(endsSoon(*child));
            break;
        }
        case End::DropAfterExit:
            EXPECT_EQ(waitForExit(*process, patienceMs), 0);
            EXPECT_FALSE(ended(*child));
            process.reset();
            EXPECT_TRUE(endsSoon(*child));
            break;
        }
        if (!ended(*child)) {
            ::kill(*child, SIGKILL);
        }
    }
}
