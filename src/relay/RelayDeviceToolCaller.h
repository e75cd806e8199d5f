#pragma once

#include "mcp/McpToolCaller.h"
#include "relay/RelayStore.h"

#include <cstdint>
#include <functional>
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
// relay's audit of the device (the agent's private log stays on the computer). A device whose
// socket another relay holds is reached through it (Elsewhere). Main thread only.
class RelayDeviceToolCaller final : public McpToolCaller {
public:
    struct Target {
        std::int64_t accountId = 0;
        std::string deviceId;
        std::string assistant;
    };

    // With other relays, a device whose socket is not here: `send` sends the command to the
    // relay holding it (its id, or ContractError "device_offline" when none does; the audit row
    // is written there), `report` reads the last report that relay kept. Empty on a relay of its
    // own.
    struct Elsewhere {
        std::function<QCoro::Task<std::string>(Target, RelayStore::Device, std::string, JSON)> send;
        std::function<QCoro::Task<std::optional<std::string>>(std::string)> report;
    };

    static constexpr int activityRecords = 20;

    // `relay` lives as long as the hub, the store and the waits: a call that resumes after it
    // touches none of them.
    RelayDeviceToolCaller(DeviceHub& hub, RelayStoreThread& store, RelayMcpCommandWaits& waits,
                          std::weak_ptr<const bool> relay, Target target, Elsewhere elsewhere = {});

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
    Elsewhere elsewhere_;
};

} // namespace corvane
