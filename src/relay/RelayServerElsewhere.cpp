#include "relay/RelayServer.h"

#include "core/Detached.h"
#include "relay/DevicePresence.h"
#include "relay/RelayServerReplies.h"
#include "relay/RelayStoreThread.h"

namespace corvane {

using namespace relayreplies;

// Commands for devices another relay holds: carried over the bus, delivered here for another
// relay, and the leases that say which relay holds which device.

QCoro::Task<bool> RelayServer::heldElsewhere(std::string deviceId) {
    if (options_.presence == nullptr) {
        co_return false;
    }
    if (const std::optional<DeviceHub::Live> live = hub_.live(deviceId); live && live->online) {
        co_return false;
    }
    const std::optional<std::string> holder = co_await options_.presence->holder(deviceId);
    co_return holder.has_value() && *holder != options_.presence->relayId();
}

QCoro::Task<std::string> RelayServer::toolCallElsewhere(std::int64_t accountId,
                                                        RelayStore::Device device,
                                                        std::string action, JSON params,
                                                        std::string assistant) {
    if (!co_await heldElsewhere(device.id)) {
        throw ContractError("device_offline");
    }
    QCoro::Task<std::string> sent = sendElsewhere(accountId, std::move(device), std::move(action),
                                                  std::move(params), std::move(assistant));
    std::string id = co_await std::move(sent);
    co_return id;
}

QCoro::Task<std::string> RelayServer::sendElsewhere(std::int64_t accountId,
                                                    RelayStore::Device device, std::string action,
                                                    JSON params, std::string assistant) {
    const DeviceHub::Outgoing outgoing = hub_.prepareElsewhere(accountId, device, action, params);
    // Audited here, by the relay the person asked, and finished here whatever the holder says.
    RelayStore::Audit row = outgoing.audit();
    row.assistant = std::move(assistant);
    std::function<void(RelayStore&)> audit = [row = std::move(row)](RelayStore& stored) {
        stored.addAudit(row);
    };
    co_await store_.write<void>(std::move(audit));
    // Tracked before it leaves, so that a result coming back at once finds it.
    hub_.track(outgoing);
    const std::string id = outgoing.command.id;
    CommandBus::Command command{id, device.id, carriedBody(accountId, action, outgoing.message)};
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
    co_return id;
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

void RelayServer::publish(std::int64_t accountId, std::string_view type, const JSON& data,
                          const std::string& deviceId) {
    events_.publish(accountId, type, data);
    if (options_.bus == nullptr || stopping_) {
        return;
    }
    if (!deviceId.empty()) {
        // Heartbeats that change nothing but the time reach the others now and then only.
        JSON unchanged = data;
        unchanged.object()->erase("last_seen");
        const std::size_t digest = std::hash<std::string>{}(unchanged.data());
        const Clock::MonotonicTime now = clock_.monotonicNow();
        const auto [found, fresh] = told_.try_emplace(deviceId, Told{digest, now});
        if (!fresh) {
            if (found->second.digest == digest && now - found->second.at < reportPeriod) {
                return;
            }
            found->second = Told{digest, now};
        }
    }
    CommandBus::Event event{accountId, std::string(type), deviceId, data.data()};
    startDetached(options_.bus->publish(std::move(event)), [](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            qWarning("relay: an event was not told to the other relays: %s", e.what());
        }
    });
}

void RelayServer::heard(CommandBus::Event event) {
    static const std::set<std::string, std::less<>> shown{"device", "devices", "command"};
    if (!shown.contains(event.type)) {
        return;
    }
    if (event.type == "device") {
        // Its socket came here meanwhile: what this relay says of it is newer.
        if (const std::optional<DeviceHub::Live> live = hub_.live(event.deviceId);
            live && live->online) {
            return;
        }
    }
    try {
        const JSON data = JSON::parse(event.data);
        if (event.type == "command") {
            // A command this relay sent is told of by this relay, as it settles.
            const std::string* id = data.stringMember("command_id");
            if (id == nullptr || hub_.command(event.accountId, *id)) {
                return;
            }
        }
        if (data.isObject()) {
            events_.publish(event.accountId, event.type, data);
        }
    } catch (const std::exception& error) {
        qWarning("relay: an event from another relay was not read: %s", error.what());
    }
}

QCoro::Task<> RelayServer::stop() {
    sweeper_.stop();
    if (options_.presence == nullptr || stopping_) {
        co_return;
    }
    // Claims made after this would bring the lease back for its whole time.
    stopping_ = true;
    try {
        co_await options_.presence->leave();
    } catch (const std::exception& error) {
        qWarning("relay: the lease was not given up (it runs out): %s", error.what());
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
        if (renewing && !alive.expired() && !stopping_) {
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
