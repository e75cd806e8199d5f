#include "CorvanePlatform/QtProcessRunner.h"

#include <QProcess>
#include <QStringList>

namespace corvane {

namespace {

// How long a start may take before it counts as failed; the fork and exec take milliseconds.
constexpr int startTimeoutMs = 5000;
// After terminate(), how long a process that ignores the request gets before it is killed when
// its handle goes away.
constexpr int terminateGraceMs = 200;

class QtProcess final : public ProcessRunner::Process {
public:
    QtProcess(const std::string& path, const std::vector<std::string>& arguments) {
        QStringList args;
        args.reserve(static_cast<qsizetype>(arguments.size()));
        for (const std::string& a : arguments) {
            args.push_back(QString::fromStdString(a));
        }
        // No input either: a tool that reads its standard input must not wait for the limit.
        process_.setStandardInputFile(QProcess::nullDevice());
        process_.setStandardOutputFile(QProcess::nullDevice());
        process_.setStandardErrorFile(QProcess::nullDevice());
        process_.start(QString::fromStdString(path), args);
        if (!process_.waitForStarted(startTimeoutMs)) {
            const std::string reason = process_.errorString().toStdString();
            if (process_.state() != QProcess::NotRunning) {
                process_.kill();
                process_.waitForFinished(terminateGraceMs);
            }
            throw ProcessStartError(path + ": " + reason);
        }
    }

    ~QtProcess() override {
        if (process_.state() == QProcess::NotRunning) {
            return;
        }
        // Whatever still runs when nobody waits for it any more ends here, so that no child
        // outlives its handle (and QProcess does not block on it).
        if (terminated_ && process_.waitForFinished(terminateGraceMs)) {
            return;
        }
        process_.kill();
        process_.waitForFinished(terminateGraceMs);
    }

    std::optional<int> exitStatus() override {
        if (process_.state() != QProcess::NotRunning) {
            // Reaps the child if it has ended; returns at once otherwise.
            process_.waitForFinished(0);
        }
        if (process_.state() != QProcess::NotRunning) {
            return std::nullopt;
        }
        if (process_.exitStatus() == QProcess::CrashExit) {
            // Ended by a signal: the shell's convention, never zero.
            return 128 + process_.exitCode();
        }
        return process_.exitCode();
    }

    void terminate() override {
        terminated_ = true;
        process_.terminate();
    }

private:
    QProcess process_;
    bool terminated_ = false;
};

} // namespace

std::unique_ptr<ProcessRunner::Process>
QtProcessRunner::start(const std::string& path, const std::vector<std::string>& arguments) {
    return std::make_unique<QtProcess>(path, arguments);
}

} // namespace corvane
