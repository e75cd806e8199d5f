#include "velto/SimBackend.h"

#include "mac/SessionLockOnMac.h"
#include "platform/SettingsUserDefaults.h"
#include "sim/SimProcessRunner.h"
#include "sim/SimulatedMac.h"
#include "velto/CommandLine.h"
#include "velto/ProgramStart.h"
#include "velto/VeltoPaths.h"

#include <QDir>
#include <QFile>

namespace corvane {

std::unique_ptr<SimBackend> SimBackend::start(const CommandLine& line,
                                              SettingsUserDefaults& defaults) {
    const auto printLine = [](const std::string& text) {
        ProgramStart::printLine(text);
    };
    if (!line.relay.isEmpty()) {
        try {
            defaults.setString("relay", line.relay.toStdString());
        } catch (const std::exception& error) {
            printLine(std::string("velto: cannot store the relay: ") + error.what());
            return nullptr;
        }
    }
    const QString scenario =
        line.scenario.isEmpty()
            ? VeltoPaths::besideProgram(QStringLiteral("scenarios/default.json"))
            : line.scenario;
    const QString simRoot = VeltoPaths::simulatorRoot();
    if (!QDir().mkpath(simRoot)) {
        printLine("velto: cannot create " + simRoot.toStdString());
        return nullptr;
    }
    QFile::setPermissions(simRoot,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    auto mac = std::make_unique<SimulatedMac>(simRoot, SimulatedMac::Options{nullptr, &defaults});
    try {
        mac->loadFile(scenario);
    } catch (const std::exception& error) {
        printLine("velto: scenario " + scenario.toStdString() + ": " + error.what());
        return nullptr;
    }
    QString listenError;
    if (!mac->listen(VeltoPaths::simulatorSocket(), &listenError)) {
        printLine("velto: simulated Mac control socket " +
                  VeltoPaths::simulatorSocket().toStdString() + ": " + listenError.toStdString());
        return nullptr;
    }
    return std::make_unique<SimBackend>(std::move(mac));
}

SimBackend::SimBackend(std::unique_ptr<SimulatedMac> mac)
    : mac_(std::move(mac)) {}

SimBackend::~SimBackend() = default;

Platform SimBackend::platform() {
    return mac_->platform();
}

void SimBackend::endProcesses() {
    mac_->processes().endAll();
}

std::chrono::milliseconds SimBackend::drainTime() const {
    // The session lock's watch stops at its next tick once nobody listens.
    return SessionLockOnMac::pollInterval;
}

} // namespace corvane
