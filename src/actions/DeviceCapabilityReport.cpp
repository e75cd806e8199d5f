#include "actions/DeviceCapabilityReport.h"

#include <algorithm>

// Set by the build from the project version and the CORVANE_AGENT_BUILD cache variable; a
// translation unit built without them reports a development build.
#ifndef CORVANE_AGENT_VERSION
#define CORVANE_AGENT_VERSION ""
#endif
#ifndef CORVANE_AGENT_BUILD
#define CORVANE_AGENT_BUILD ""
#endif

namespace corvane::DeviceCapabilityReport {

namespace {

template <std::size_t N>
JSON names(const std::array<std::string_view, N>& list, const std::vector<std::string>& left) {
    JSON::Array array;
    array.reserve(N);
    for (const std::string_view name : list) {
        if (std::find(left.begin(), left.end(), name) == left.end()) {
            array.emplace_back(name);
        }
    }
    return array;
}

const char* grant(bool granted) {
    return granted ? "granted" : "denied";
}

} // namespace

std::string version() {
    const std::string_view configured = CORVANE_AGENT_VERSION;
    return configured.empty() ? std::string("development") : std::string(configured);
}

std::optional<std::string> build() {
    const std::string_view configured = CORVANE_AGENT_BUILD;
    if (configured.empty()) {
        return std::nullopt;
    }
    return std::string(configured);
}

JSON assemble(const Inputs& inputs) {
    JSON::Object permissions;
    if (inputs.screenState == ScreenState::Unlocked) {
        permissions.emplace("desktop_control", grant(inputs.desktopEnabled));
        permissions.emplace("accessibility", grant(inputs.accessibilityTrusted));
        permissions.emplace("screen_recording", grant(inputs.screenCaptureAllowed));
    } else {
        // Nothing about the Mac is told while its screen is not the user's.
        permissions.emplace("desktop_control", "unknown");
        permissions.emplace("accessibility", "unknown");
        permissions.emplace("screen_recording", "unknown");
    }
    JSON::Object report;
    report.emplace("schema_version", 1);
    report.emplace("os_version", inputs.osVersion);
    report.emplace("screen_state", rawValue(inputs.screenState));
    report.emplace("agent_version", inputs.agentVersion);
    report.emplace("agent_build", inputs.agentBuild ? JSON(*inputs.agentBuild) : JSON());
    report.emplace("actions", names(actions, inputs.unavailable));
    report.emplace("features", names(features, inputs.unavailable));
    report.emplace("permissions", std::move(permissions));
    return report;
}

JSON read(Platform& platform, bool desktopEnabled) {
    Inputs inputs;
    inputs.osVersion = platform.workspace.osVersion().text;
    inputs.screenState = platform.sessionLock.state();
    inputs.agentVersion = version();
    inputs.agentBuild = build();
    inputs.desktopEnabled = desktopEnabled;
    if (platform.gaps != nullptr) {
        for (ServiceGaps::Gap& gap : platform.gaps->gaps()) {
            inputs.unavailable.push_back(std::move(gap.name));
        }
    }
    // Permissions are only asked about when they will be reported.
    if (inputs.screenState == ScreenState::Unlocked) {
        inputs.accessibilityTrusted = platform.accessibility.isTrusted();
        inputs.screenCaptureAllowed = platform.screenCapture.preflight();
    }
    return assemble(inputs);
}

} // namespace corvane::DeviceCapabilityReport
