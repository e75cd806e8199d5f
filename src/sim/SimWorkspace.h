#pragma once

#include "mac/MacBundles.h"
#include "platform/Workspace.h"

namespace corvane {

class SimModel;

// Running and installed applications of the simulated Mac; session notifications come from the
// model (control channel "sleep", "wake", "session", and accepted sleep requests).
class SimWorkspace final : public Workspace, public MacBundles {
    Q_OBJECT

public:
    explicit SimWorkspace(SimModel& model, QObject* parent = nullptr);

    std::vector<RunningApplication> runningApplications() const override;
    std::optional<RunningApplication> frontmostApplication() const override;
    std::optional<std::string> applicationPath(const std::string& bundleID) const override;
    // Reads "Contents/Info.json" of the bundle folder; safe on any thread.
    std::optional<PlatformValue::Dictionary> bundleInfo(const std::string& path) const override;
    QCoro::Task<void> openApplication(std::string path, bool activate) override;
    bool openURL(const std::string& url) override;
    bool activate(std::int32_t pid) override;
    bool terminate(std::int32_t pid) override;
    std::string hostName() const override;
    OSVersion osVersion() const override;

private:
    SimModel& model_;
};

} // namespace corvane
