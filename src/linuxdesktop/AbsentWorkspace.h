#pragma once

#include "core/ContractError.h"
#include "linuxdesktop/OsRelease.h"
#include "platform/Workspace.h"

#include <QSysInfo>

namespace corvane {

// Applications on a desktop where the agent cannot see or start them yet: nothing runs, nothing
// opens. The host's name and the distribution's version are real. The sleep and session
// signals are the backend's to emit.
class AbsentWorkspace final : public Workspace {
public:
    using Workspace::Workspace;

    std::vector<RunningApplication> runningApplications() const override { return {}; }
    std::optional<RunningApplication> frontmostApplication() const override { return {}; }
    std::optional<std::string> applicationPath(const std::string&) const override { return {}; }
    QCoro::Task<void> openApplication(std::string, bool) override {
        throw ContractError("action_failed");
        co_return;
    }
    bool openURL(const std::string&) override { return false; }
    bool activate(std::int32_t) override { return false; }
    bool terminate(std::int32_t) override { return false; }
    std::string hostName() const override { return QSysInfo::machineHostName().toStdString(); }
    OSVersion osVersion() const override { return OsRelease::read(); }
};

} // namespace corvane
