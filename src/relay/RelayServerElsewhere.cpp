#include "relay/RelayServer.h"

#include "relay/DevicePresence.h"
#include "relay/RelayServerReplies.h"
#include "relay/RelayStoreThread.h"

namespace corvane {

using namespace relayreplies;

// Commands for devices another relay holds: carried over the bus, delivered here for another
// relay, and the leases that say which relay holds which device.

QCoro::Task<RelayHttpResponse> RelayServer::sendElsewhere(Call call, std::string action,
                                                          JSON params) {
    const DeviceHub::Outgoing outgoing =
        hub_.prepareElsewhere(call.session->accountId, *call.device, action, params);
    // Audited here, by the relay the person asked, and finished here whatever the holder says.
    std::function<void(RelayStore&)> audit = [row = outgoing.audit()](RelayStore& stored) {
        stored.addAudit(row);
    };
    co_await store_.write<void>(std::move(audit));
    // Tracked before it leaves, so that a result coming back at once finds it.
    hub_.track(outgoing);
    const std::string id = outgoing.command.id;
    CommandBus::Command command{id, call.device->id,
                                carriedBody(call.session->accountId, action, outgoing.message)};
    CommandBus::Sent sent = CommandBus::Sent::Queued;
    try {
        sent = co_await options_.bus->send(std::move(command));
    } catch (const std::exception&) {
        hub_.settle(id, false, JSON(), "relay_storage_failed");
        throw;
    }
    if (sent == CommandBus::Sent::NoHolder) {
        // Its holder went between the look-up and the send.
        hub_.settle(id, false, JSON(), "device_offline");
        throw ContractError("device_offline");
    }
    co_return jsonAnswer(JSON(JSON::Object{{"command_id", JSON(id)}}), 202);
}

void RelayServer::carry(CommandBus::Command command) {
    std::string refusal = "invalid_request";
    try {
        const JSON body = JSON::parse(command.body);
        const JSON* account = body.find("account_id");
        const std::optional<double> accountId =
            account != nullptr ? account->number() : std::nullopt;
        const std::string* action = body.stringMember("action");
        const JSON* message = body.find("message");
        if (accountId && action != nullptr && message != nullptr && message->isObject()) {
            refusal = hub_.relay(static_cast<std::int64_t>(*accountId), command.deviceId, *action,
                                 *message);
        }
    } catch (const std::exception& error) {
        qWarning("relay: a command from another relay was not sent: %s", error.what());
    }
    if (refusal.empty()) {
        carried_.insert(command.id);
        return;
    }
    answerCarried(command.id, resultBody(false, JSON(), refusal));
}

QCoro::Task<> RelayServer::answerCarried(std::string commandId, std::string body) {
    try {
        co_await options_.bus->answer(std::move(commandId), std::move(body));
    } catch (const std::exception& error) {
        qWarning("relay: a result for another relay was not sent: %s", error.what());
    }
}

void RelayServer::settleSent(CommandBus::Result result) {
    if (result.outcome == CommandBus::Outcome::RelayLost) {
        hub_.settle(result.commandId, false, JSON(), "relay_lost");
        return;
    }
    try {
        const JSON body = JSON::parse(result.body);
        const JSON* ok = body.find("ok");
        const JSON* data = body.find("data");
        const std::string* code = body.stringMember("error_code");
        if (ok != nullptr && ok->isTrue()) {
            hub_.settle(result.commandId, true, data != nullptr ? *data : JSON(), {});
        } else {
            hub_.settle(result.commandId, false, JSON(),
                        code != nullptr ? *code : std::string("relay_failed"));
        }
    } catch (const std::exception& error) {
        qWarning("relay: a result from another relay was not read: %s", error.what());
        hub_.settle(result.commandId, false, JSON(), "relay_failed");
    }
}

QCoro::Task<> RelayServer::share(bool renewing) {
    if (sharing_) {
        co_return;
    }
    sharing_ = true;
    const std::weak_ptr<int> alive = alive_;
    std::vector<std::string> taken;
    try {
        co_await options_.bus->sweep();
        if (renewing && !alive.expired()) {
            taken = co_await options_.presence->renew();
        }
    } catch (const std::exception& error) {
        qWarning("relay: shared state not renewed: %s", error.what());
    }
    if (alive.expired()) {
        co_return;
    }
    sharing_ = false;
    // Those devices reconnected through another relay: this socket is a stale one.
    for (const std::string& deviceId : taken) {
        claimed_.erase(deviceId);
        hub_.drop(deviceId);
    }
}

QCoro::Task<> RelayServer::claim(std::string deviceId, bool held) {
    try {
        if (held) {
            co_await options_.presence->claim(std::move(deviceId));
        } else {
            co_await options_.presence->release(std::move(deviceId));
        }
    } catch (const std::exception& error) {
        qWarning("relay: device presence not stored: %s", error.what());
    }
}

} // namespace corvane
