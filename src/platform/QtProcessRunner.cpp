#include "platform/QtProcessRunner.h"

#include <QProcess>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <thread>
#include <unistd.h>

namespace corvane {

namespace {

using Steady = std::chrono::steady_clock;

// How long a start may take before it counts as failed; the fork and exec take milliseconds.
constexpr int startTimeoutMs = 5000;
// After the request to end, how long the tool and what it started get before they are killed.
// A handle dropped on the main thread waits at most this long, and only for a tool that ignores
// the request.
constexpr std::chrono::milliseconds terminateGrace{200};
// How often a dropped handle looks whether the rest of the tool's group has ended.
constexpr std::chrono::milliseconds groupPollInterval{2};

int milliseconds(Steady::duration d) {
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(d).count());
}

// Whether a process of `group` is still alive. One that has ended but was not yet reaped does not
// count: the tool's children pass to init when it ends, which may reap them only a while later.
bool liveMember(pid_t group) {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return true;
    }
    bool found = false;
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') {
            continue;
        }
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        // "pid (name) state ppid pgrp ...": the name may hold anything, so read after its last
        // parenthesis.
        char line[512];
        const ssize_t n = ::read(fd, line, sizeof line - 1);
        ::close(fd);
        if (n <= 0) {
            continue;
        }
        line[n] = '\0';
        const char* close = std::strrchr(line, ')');
        char state = 0;
        long parent = 0;
        long processGroup = 0;
        if (close != nullptr &&
            std::sscanf(close + 1, " %c %ld %ld", &state, &parent, &processGroup) == 3 &&
            processGroup == group && state != 'Z' && state != 'X') {
            found = true;
            break;
        }
    }
    ::closedir(proc);
    return found;
}

class QtProcess;

} // namespace

// The handles still held, so that the runner can end their tools. Shared with the handles, which
// may outlive the runner.
class QtProcessRunner::Running {
public:
    std::set<QtProcess*> processes;
};

namespace {

// Each tool leads a session and process group of its own, so that whatever it starts can be ended
// with it: ending only the tool would leave its children running under init. Its own session also
// keeps it off the terminal the agent may run in: it can neither read from it (and be stopped) nor
// get the terminal's signals; the agent ends its tools itself.
class QtProcess final : public ProcessRunner::Process {
public:
    QtProcess(const std::string& path, const std::vector<std::string>& arguments,
              std::shared_ptr<QtProcessRunner::Running> running)
        : running_(std::move(running)) {
        QStringList args;
        args.reserve(static_cast<qsizetype>(arguments.size()));
        for (const std::string& a : arguments) {
            args.push_back(QString::fromStdString(a));
        }
        // No input either: a tool that reads its standard input must not wait for the limit.
        process_.setStandardInputFile(QProcess::nullDevice());
        process_.setStandardOutputFile(QProcess::nullDevice());
        process_.setStandardErrorFile(QProcess::nullDevice());
        // Runs in the child between fork and exec: async-signal-safe calls only.
        process_.setChildProcessModifier([] { ::setsid(); });
        process_.start(QString::fromStdString(path), args);
        if (!process_.waitForStarted(startTimeoutMs)) {
            const std::string reason = process_.errorString().toStdString();
            if (process_.state() != QProcess::NotRunning) {
                process_.kill();
                process_.waitForFinished(milliseconds(terminateGrace));
            }
            throw ProcessStartError(path + ": " + reason);
        }
        // The exec succeeded, so setsid() ran before it: the group exists and has this id.
        group_ = static_cast<pid_t>(process_.processId());
        running_->processes.insert(this);
    }

    // Whatever of the tool's group still runs when nobody waits for it any more ends here, the tool
    // itself or processes it left behind: its work belongs to the command that started it. A
    // program that means to outlive its parent starts a session of its own and is not touched.
    ~QtProcess() override {
        running_->processes.erase(this);
        end();
    }

    // Asks the group to end, unless nothing of it runs any more (its id may then be reused).
    void requestEndIfRunning() {
        if (!terminatedAt_ && anythingRuns()) {
            requestEnd();
        }
    }

    // Asks whatever of the group still runs to end and kills it once the grace has passed.
    void end() {
        if (!anythingRuns()) {
            return;
        }
        if (!terminatedAt_) {
            requestEnd();
        }
        const Steady::time_point deadline = *terminatedAt_ + terminateGrace;
        for (;;) {
            if (!anythingRuns()) {
                return;
            }
            const Steady::time_point now = Steady::now();
            if (now >= deadline) {
                break;
            }
            if (process_.state() != QProcess::NotRunning) {
                // Returns as soon as the tool ends.
                process_.waitForFinished(milliseconds(deadline - now));
            } else {
                std::this_thread::sleep_for(
                    std::min<Steady::duration>(groupPollInterval, deadline - now));
            }
        }
        signalGroup(SIGKILL);
        if (process_.state() != QProcess::NotRunning) {
            process_.waitForFinished(milliseconds(terminateGrace));
        }
    }

    std::optional<int> exitStatus() override {
        if (process_.state() != QProcess::NotRunning) {
            // Reaps the child if it has ended; returns at once otherwise.
            process_.waitForFinished(0);
        }
        if (process_.state() != QProcess::NotRunning) {
            if (terminatedAt_ && Steady::now() - *terminatedAt_ >= terminateGrace) {
                // It ignores the request: whoever keeps polling sees it end all the same.
                signalGroup(SIGKILL);
            }
            return std::nullopt;
        }
        noteWhetherGroupIsGone();
        if (process_.exitStatus() == QProcess::CrashExit) {
            // Ended by a signal: the shell's convention, never zero.
            return 128 + process_.exitCode();
        }
        return process_.exitCode();
    }

    void terminate() override {
        if (!terminatedAt_) {
            requestEnd();
        }
    }

private:
    void requestEnd() {
        terminatedAt_ = Steady::now();
        signalGroup(SIGTERM);
        // A member stopped by job control would hold the request until it is continued.
        signalGroup(SIGCONT);
    }

    void signalGroup(int signal) {
        if (group_ <= 0 || groupGone_) {
            // kill(0, ...) would signal the agent's own group; an empty group's id may be reused.
            return;
        }
        if (::kill(-group_, signal) != 0 && errno == ESRCH &&
            process_.state() != QProcess::NotRunning) {
            // No such group (setsid() failed in the child): the tool itself, whose id is not
            // reused before it is reaped.
            ::kill(group_, signal);
        }
    }

    // Once the tool has been reaped, its id (the group's) can be reused as soon as no member of
    // the group is left: from then on the group is never signalled again. Noted as early as
    // possible, so that a handle kept long after its tool ended cannot reach another group.
    void noteWhetherGroupIsGone() {
        if (!groupGone_ && process_.state() == QProcess::NotRunning && ::kill(-group_, 0) != 0 &&
            errno == ESRCH) {
            groupGone_ = true;
        }
    }

    // Whether the tool or a process of its group still runs (reaping the tool if it has ended).
    bool anythingRuns() {
        if (process_.state() != QProcess::NotRunning) {
            process_.waitForFinished(0);
        }
        if (process_.state() != QProcess::NotRunning) {
            return true;
        }
        noteWhetherGroupIsGone();
        return !groupGone_ && liveMember(group_);
    }

    std::shared_ptr<QtProcessRunner::Running> running_;
    QProcess process_;
    pid_t group_ = 0;
    bool groupGone_ = false;
    std::optional<Steady::time_point> terminatedAt_;
};

} // namespace

QtProcessRunner::QtProcessRunner()
    : running_(std::make_shared<Running>()) {}

QtProcessRunner::~QtProcessRunner() {
    endAll();
}

std::unique_ptr<ProcessRunner::Process>
QtProcessRunner::start(const std::string& path, const std::vector<std::string>& arguments) {
    return std::make_unique<QtProcess>(path, arguments, running_);
}

void QtProcessRunner::endAll() {
    // All are asked first, so that together they take one grace, not one each.
    for (QtProcess* process : running_->processes) {
        process->requestEndIfRunning();
    }
    for (QtProcess* process : running_->processes) {
        process->end();
    }
}

} // namespace corvane
