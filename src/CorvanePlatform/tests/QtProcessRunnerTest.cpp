#include "CorvanePlatform/QtProcessRunner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

using corvane::ProcessRunner;
using corvane::ProcessStartError;
using corvane::QtProcessRunner;

namespace {

class QtProcessRunnerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (QCoreApplication::instance() == nullptr) {
            static int argc = 1;
            static char name[] = "CorvanePlatformTests";
            static char* argv[] = {name, nullptr};
            app_ = new QCoreApplication(argc, argv);
        }
    }
    static void TearDownTestSuite() {
        delete app_;
        app_ = nullptr;
    }

    // Polls without an event loop, as the tool runner does, for at most `limitMs` of real time.
    static std::optional<int> waitForExit(ProcessRunner::Process& p, int limitMs = 900) {
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

} // namespace

TEST_F(QtProcessRunnerTest, ReportsTheExitStatus) {
    struct Row {
        const char* script;
        int status;
    };
    for (const Row row :
         {Row{"exit 0", 0}, Row{"exit 1", 1}, Row{"exit 77", 77}, Row{"kill -KILL $$", 128 + 9}}) {
        SCOPED_TRACE(row.script);
        auto process = runner_.start("/bin/sh", {"-c", row.script});
        EXPECT_EQ(waitForExit(*process), row.status);
        // Asking again gives the same answer.
        EXPECT_EQ(process->exitStatus(), row.status);
    }
}

TEST_F(QtProcessRunnerTest, OutputGoesNowhereAndInputIsEmpty) {
    QTemporaryDir dir;
    const QString marker = dir.filePath(QStringLiteral("read"));
    // `cat` ends at once on an empty input; a pipe left open would keep it waiting.
    auto process = runner_.start(
        "/bin/sh", {"-c", "cat; echo out; echo err >&2; : > '" + marker.toStdString() + "'"});
    EXPECT_EQ(waitForExit(*process), 0);
    EXPECT_TRUE(QFile::exists(marker));
}

TEST_F(QtProcessRunnerTest, TerminateEndsARunningTool) {
    auto process = runner_.start("/bin/sleep", {"30"});
    EXPECT_EQ(process->exitStatus(), std::nullopt);
    process->terminate();
    const auto status = waitForExit(*process);
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(*status, 0);
}

TEST_F(QtProcessRunnerTest, DroppingTheHandleEndsTheTool) {
    QElapsedTimer timer;
    timer.start();
    {
        auto process = runner_.start("/bin/sleep", {"30"});
        EXPECT_EQ(process->exitStatus(), std::nullopt);
    }
    EXPECT_LT(timer.elapsed(), 1000);
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
