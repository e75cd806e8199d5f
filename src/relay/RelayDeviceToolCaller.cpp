#include "relay/RelayDeviceToolCaller.h"

#include "core/ContractError.h"
#include "core/WireTime.h"
#include "relay/DeviceHub.h"
#include "relay/RelayMcpCommandWaits.h"
#include "relay/RelayStoreThread.h"
#include "relay/RelayText.h"

namespace corvane {

namespace {

McpCallOutcome refusal(const std::string& code) {
    return McpCallOutcome::refusal(code, std::string(RelayText::error(code)));
}

// The rows of a device that may still be open at once bound how many to read past them.
constexpr int openRowsAtMost = static_cast<int>(DeviceHub::outstandingPerDevice);

} // namespace

RelayDeviceToolCaller::RelayDeviceToolCaller(DeviceHub& hub, RelayStoreThread& store,
                                             RelayMcpCommandWaits& waits,
                                             std::weak_ptr<const bool> relay, Target target,
                                             Elsewhere elsewhere)
    : hub_(hub)
    , store_(store)
    , waits_(waits)
    , relay_(std::move(relay))
    , target_(std::move(target))
    , elsewhere_(std::move(elsewhere)) {}

QCoro::Task<McpCallOutcome> RelayDeviceToolCaller::call(std::string action, JSON params) {
    // The dashboard's command path: the device read, the command prepared, its row (naming the
    // assistant) stored before it leaves, then sent.
    std::function<std::optional<RelayStore::Device>(RelayStore&)> read =
        [id = target_.deviceId](RelayStore& stored) {
            return stored.device(id);
        };
    const std::optional<RelayStore::Device> device =
        co_await store_.read<std::optional<RelayStore::Device>>(std::move(read));
    if (relay_.expired()) {
        co_return refusal("relay_failed");
    }
    if (!device) {
        co_return refusal("device_not_found");
    }
    std::string commandId;
    bool elsewhere = false;
    try {
        DeviceHub::Outgoing outgoing = hub_.prepare(target_.accountId, *device, action, params);
        RelayStore::Audit row = outgoing.audit();
        row.assistant = target_.assistant;
        std::function<void(RelayStore&)> audit = [row = std::move(row)](RelayStore& stored) {
            stored.addAudit(row);
        };
        co_await store_.write<void>(std::move(audit));
        // The relay stopping sends nothing more (the row is closed at its next start).
        if (relay_.expired() || waits_.ended()) {
            co_return refusal("relay_failed");
        }
        commandId = hub_.dispatch(std::move(outgoing));
    } catch (const ContractError& error) {
        // Not here: perhaps on another relay.
        if (error.code() != "device_offline" || !elsewhere_.send) {
            co_return refusal(error.code());
        }
        elsewhere = true;
    }
    if (elsewhere) {
        std::string refused;
        try {
            QCoro::Task<std::string> sent = elsewhere_.send(target_, *device, action, params);
            commandId = co_await std::move(sent);
        } catch (const ContractError& error) {
            refused = error.code();
        }
        if (relay_.expired()) {
            co_return refusal("relay_failed");
        }
        if (!refused.empty()) {
            co_return refusal(refused);
        }
    }
    RelayMcpCommandWaits& waits = waits_;
    const std::optional<DeviceHub::Command> command = co_await waits.finished(commandId);
    // Only the command is read from here on: the relay may have gone meanwhile.
    if (!command) {
        co_return refusal("relay_failed");
    }
    if (!command->ok) {
        co_return refusal(command->errorCode);
    }
    co_return McpCallOutcome::success(command->data);
}

QCoro::Task<std::optional<std::vector<std::string>>> RelayDeviceToolCaller::actions() {
    std::optional<DeviceHub::Live> live = hub_.live(target_.deviceId);
    if ((!live || !live->online) && elsewhere_.report) {
        // Its socket may be on another relay, which keeps what it last reported.
        const std::weak_ptr<const bool> relay = relay_;
        QCoro::Task<std::optional<std::string>> read = elsewhere_.report(target_.deviceId);
        const std::optional<std::string> report = co_await std::move(read);
        if (relay.expired()) {
            co_return std::nullopt;
        }
        try {
            const JSON view = report ? JSON::parse(*report) : JSON();
            if (const JSON* capabilities = view.find("capabilities"); capabilities != nullptr) {
                live.emplace();
                live->capabilities = *capabilities;
            }
        } catch (const std::exception&) {
            // Unreadable: listed as for a device that never reported.
        }
    }
    const JSON* list = live ? live->capabilities.find("actions") : nullptr;
    if (list == nullptr || list->array() == nullptr) {
        co_return std::nullopt;
    }
    std::vector<std::string> out;
    for (const JSON& name : *list->array()) {
        if (const std::string* text = name.string()) {
            out.push_back(*text);
        }
    }
    co_return out;
}

QCoro::Task<McpCallOutcome> RelayDeviceToolCaller::recentActivity() {
    std::function<std::vector<RelayStore::Audit>(RelayStore&)> list =
        [id = target_.deviceId](RelayStore& stored) {
            return stored.auditOf(id, activityRecords + openRowsAtMost);
        };
    const std::vector<RelayStore::Audit> rows =
        co_await store_.run<std::vector<RelayStore::Audit>>(std::move(list));
    JSON::Array records;
    for (const RelayStore::Audit& audit : rows) {
        if (!audit.finishedAt) {
            continue;
        }
        JSON::Object record{{"command_id", JSON(audit.commandId)},
                            {"action", JSON(audit.action)},
                            {"outcome", JSON(audit.outcome)},
                            {"created_at", JSON(WireTime::text(audit.sentAt))},
                            {"finished_at", JSON(WireTime::text(*audit.finishedAt))}};
        if (!audit.assistant.empty()) {
            record.emplace("assistant", JSON(audit.assistant));
        }
        records.emplace_back(std::move(record));
        if (records.size() == static_cast<std::size_t>(activityRecords)) {
            break;
        }
    }
    co_return McpCallOutcome::success(JSON(JSON::Object{{"records", JSON(std::move(records))}}));
}

} // namespace corvane
