#include "velto/ProgramStart.h"

#include "agent/RelayOrigin.h"
#include "agent/TaskHandle.h"
#include "core/CommandFeedback.h"
#include "core/ContractError.h"
#include "core/PrivateFile.h"
#include "platform/SettingsUserDefaults.h"
#include "velto/Backend.h"
#include "velto/CommandLine.h"
#include "velto/TerminalLine.h"
#include "velto/VeltoPaths.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

namespace corvane {

void ProgramStart::printLine(const std::string& text) {
    const std::string line = TerminalLine::printable(text);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

bool ProgramStart::descriptorsRefused(unsigned long needed) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur >= needed) {
        return false;
    }
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= needed) {
        const rlim_t soft = limit.rlim_cur;
        limit.rlim_cur = needed;
        if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) {
            return false;
        }
        limit.rlim_cur = soft;
    }
    printLine("velto: too few file descriptors (the limit is " + std::to_string(limit.rlim_cur) +
              ", at least " + std::to_string(needed) + " are needed): raise it with 'ulimit -n " +
              std::to_string(needed) + "'");
    return true;
}

bool ProgramStart::relayOptionsRefused(const CommandLine& line,
                                       QList<QSslCertificate>& authorities) {
    if (line.relay.isEmpty()) {
        return false;
    }
    try {
        RelayOrigin::origin(line.relay.toStdString());
    } catch (const ContractError& refused) {
        printLine("velto: --relay " + line.relay.toStdString() + ": " +
                  std::string(CommandFeedback::error(refused.code())) +
                  " (https://HOST[:PORT], nothing after it)");
        return true;
    }
    if (!line.relayCA.isEmpty()) {
        authorities = QSslCertificate::fromPath(line.relayCA, QSsl::Pem);
        if (authorities.isEmpty()) {
            printLine("velto: --relay-ca " + line.relayCA.toStdString() +
                      ": no PEM certificate could be read");
            return true;
        }
    }
    return false;
}

std::optional<InstanceLock> ProgramStart::lockDataFolder() {
    QString lockError;
    std::optional<InstanceLock> instance = InstanceLock::acquire(
        VeltoPaths::dataDirectory() + QStringLiteral("/velto.lock"), &lockError);
    if (!instance) {
        printLine(InstanceLock::heldElsewhere(lockError)
                      ? "velto: an agent is already running on " +
                            VeltoPaths::dataDirectory().toStdString()
                      : "velto: cannot lock the data folder: " + lockError.toStdString());
    }
    return instance;
}

void ProgramStart::prepareFolders() {
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        const QString runtime = VeltoPaths::dataDirectory() + QStringLiteral("/runtime");
        if (QDir().mkpath(runtime)) {
            QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner);
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
        }
    }
    for (const QString& folder : {VeltoPaths::dataDirectory(), VeltoPaths::simulatorRoot()}) {
        try {
            const std::size_t removed = PrivateFile::removeTemporaries(folder.toStdString());
            if (removed > 0) {
                printLine("velto: removed " + std::to_string(removed) +
                          " unfinished temporary file(s) from " + folder.toStdString());
            }
        } catch (const std::exception& error) {
            printLine(std::string("velto: ") + error.what());
        }
    }
}

void ProgramStart::drain(const Backend& backend) {
    const auto drainTime =
        std::max(TaskHandle::retireSlice, backend.drainTime()) + std::chrono::milliseconds(100);
    QEventLoop loop;
    QTimer::singleShot(drainTime, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace corvane
