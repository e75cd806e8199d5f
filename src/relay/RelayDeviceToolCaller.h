#pragma once

#include "mcp/McpToolCaller.h"

#include <cstdint>
#include <memory>
#include <string>

namespace corvane {

class DeviceHub;
class RelayMcpCommandWaits;
class RelayStoreThread;

// The tools of the relay's MCP endpoint reach one paired device as the dashboard's commands do:
// through the hub, which audits each command before it leaves (here with the assistant's name),
// sends it on the device's session and ends it by the device's result or its deadlines, so that
// the agent checks, dedups and logs it as any relay command. The store's work runs on its thread.
// The tool list follows the capability report the device last sent; the recent activity is the
// relay's audit of the device (the agent's private log stays on the computer). Main thread only.
class RelayDeviceToolCaller final : public McpToolCaller {
public:
    struct Target {
        std::int64_t accountId = 0;
        std::string deviceId;
        std::string assistant;
    };

    static constexpr int activityRecords = 20;

    // `relay` lives as long as the hub, the store and the waits: a call that resumes after it
    // touches none of them.
    RelayDeviceToolCaller(DeviceHub& hub, RelayStoreThread& store, RelayMcpCommandWaits& waits,
                          std::weak_ptr<const bool> relay, Target target);

    // A refusal of the hub (device_offline, device_busy, device_not_found, invalid_request) or the
    // device's error code comes back as a refusal with the relay's sentence for it.
    QCoro::Task<McpCallOutcome> call(std::string action, JSON params) override;
    QCoro::Task<std::optional<std::vector<std::string>>> actions() override;
    QCoro::Task<McpCallOutcome> recentActivity() override;

private:
    DeviceHub& hub_;
    RelayStoreThread& store_;
    RelayMcpCommandWaits& waits_;
    std::weak_ptr<const bool> relay_;
    Target target_;
};

} // namespace corvane
