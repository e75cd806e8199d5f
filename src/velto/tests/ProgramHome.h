// The real `velto` program in a temporary home (its own data and configuration folders, offscreen
// Qt): one-shot runs of the program and one long-running agent whose standard error is gathered.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace corvane::test {

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class ProgramHome : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home_.isValid());
        environment_ = QProcessEnvironment::systemEnvironment();
        environment_.insert(QStringLiteral("XDG_DATA_HOME"),
                            home_.filePath(QStringLiteral("data")));
        environment_.insert(QStringLiteral("XDG_CONFIG_HOME"),
                            home_.filePath(QStringLiteral("config")));
        environment_.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        agent_.setProcessEnvironment(environment_);
    }

    void TearDown() override {
        if (agent_.state() != QProcess::NotRunning) {
            agent_.kill();
            agent_.waitForFinished(5000);
        }
    }

    // One run of the program to its end (a -1 exit code when it did not end within 30 s).
    Outcome velto(const std::vector<const char*>& words, const QByteArray& input = {}) {
        QStringList arguments;
        for (const char* word : words) {
            arguments.append(QString::fromUtf8(word));
        }
        QProcess process;
        process.setProcessEnvironment(environment_);
        process.start(QStringLiteral(VELTO_PROGRAM), arguments);
        process.write(input);
        process.closeWriteChannel();
        Outcome run;
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished();
            return run;
        }
        run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.out = process.readAllStandardOutput().toStdString();
        run.err = process.readAllStandardError().toStdString();
        return run;
    }

    // Starts the headless agent on the default scenario and returns its loopback port once it
    // listens (0, with a failure recorded, when it does not).
    quint16 startAgent() {
        agent_.start(QStringLiteral(VELTO_PROGRAM),
                     {QStringLiteral("--headless"), QStringLiteral("--platform"),
                      QStringLiteral("sim"), QStringLiteral("--scenario"),
                      QStringLiteral(VELTO_DEFAULT_SCENARIO)});
        std::size_t at = std::string::npos;
        std::size_t end = std::string::npos;
        until([&] {
            at = err_.find("listening: 127.0.0.1:");
            end = at == std::string::npos ? at : err_.find('\n', at);
            return end != std::string::npos || agent_.state() == QProcess::NotRunning;
        });
        if (end == std::string::npos) {
            ADD_FAILURE() << "the agent did not start listening: " << err_;
            return 0;
        }
        return static_cast<quint16>(std::stoi(err_.substr(at + 21, end - at - 21)));
    }

    // Runs this process's event loop (a test relay may live here) while gathering the agent's
    // standard error, until `condition` holds; false when `limit` passed first.
    bool until(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        QElapsedTimer timer;
        timer.start();
        while (!condition()) {
            if (timer.elapsed() > limit.count()) {
                return false;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            agent_.waitForReadyRead(10);
            err_ += agent_.readAllStandardError().toStdString();
        }
        return true;
    }

    // Ends the agent with SIGTERM; true when it then exits cleanly, with status 0.
    bool stopAgent() {
        agent_.terminate();
        const bool ended =
            until([&] { return agent_.state() == QProcess::NotRunning; }, std::chrono::seconds(20));
        err_ += agent_.readAllStandardError().toStdString();
        return ended && agent_.exitStatus() == QProcess::NormalExit && agent_.exitCode() == 0;
    }

    bool saw(const std::string& line) const { return err_.find(line) != std::string::npos; }

    QTemporaryDir home_;
    QProcessEnvironment environment_;
    QProcess agent_;
    std::string err_;
};

} // namespace corvane::test
