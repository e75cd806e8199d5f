#include "relay/DeviceHub.h"

#include "core/ContractError.h"
#include "core/ContractValidator.h"
#include "core/Envelope.h"
#include "core/Uuid.h"
#include "core/WireTime.h"
#include "relay/DeviceHubObserver.h"
#include "relay/DeviceLink.h"
#include "relay/RelaySecrets.h"
#include "relay/RelayText.h"

#include <QDebug>

#include <algorithm>
#include <vector>

namespace corvane {

namespace {

constexpr int closeNormal = 1000;
constexpr int closeGoingAway = 1001;
constexpr int closeInvalidPayload = 1007;
constexpr int closePolicy = DeviceHub::closePolicy;
constexpr int closeTooBig = 1009;
// What a finished command costs besides its result's bytes.
constexpr std::size_t finishedOverhead = 512;

std::string memberText(const JSON& message, std::string_view name) {
    const std::string* value = message.stringMember(name);
    return value != nullptr ? *value : std::string();
}

} // namespace

DeviceHub::DeviceHub(RelayStore& store, const Clock& clock, const ContractValidator& validator)
    : DeviceHub(store, clock, validator, Limits{}) {}

DeviceHub::DeviceHub(RelayStore& store, const Clock& clock, const ContractValidator& validator,
                     Limits limits)
    : store_(store)
    , clock_(clock)
    , validator_(validator)
    , limits_(limits) {
    // Commands left open by an earlier process (killed, or its machine lost power) will never get
    // their result: their rows say so instead of waiting for ever. A store shared with other
    // relays holds their open commands too, which their senders end themselves.
    if (!limits_.closeLeftOpen) {
        return;
    }
    try {
        store_.endUnfinishedAudits("relay_restarted", clock_.now());
    } catch (const std::exception& error) {
        qWarning("relay: unfinished commands not closed: %s", error.what());
    }
}

DeviceHub::~DeviceHub() {
    // The links belong to the server, which closes its sockets itself.
    sessions_.clear();
}

std::uint64_t DeviceHub::open(DeviceLink& link, std::string deviceHeader) {
    const std::uint64_t number = nextSession_++;
    try {
        const Clock::MonotonicTime now = clock_.monotonicNow();
        sessions_.emplace(number, Session{&link, std::move(deviceHeader), {}, now, now});
        nextSessionLimit_ = std::min(nextSessionLimit_, now + helloLimit);
        if (!Uuid::isCanonical(sessions_.at(number).deviceHeader)) {
            end(number, closeUnauthorized);
        }
    } catch (const std::exception& error) {
        fail(number, "open", error);
    }
    return number;
}

void DeviceHub::received(std::uint64_t number, std::string_view bytes) {
    try {
        receive(number, bytes);
    } catch (const std::exception& error) {
        fail(number, "message", error);
    }
}

void DeviceHub::fail(std::uint64_t number, const char* where,
                     const std::exception& error) noexcept {
    qWarning("relay: device session %s failed: %s", where, error.what());
    try {
        if (const auto found = sessions_.find(number); found != sessions_.end()) {
            end(number, closeInternalError);
        }
    } catch (const std::exception& again) {
        qWarning("relay: device session not ended cleanly: %s", again.what());
    }
}

DeviceHub::Budget& DeviceHub::budgetOf(const std::string& deviceId) {
    Budget& budget =
        budgets_.try_emplace(deviceId, Budget{messageBurst, byteBurst, clock_.monotonicNow()})
            .first->second;
    refill(budget);
    return budget;
}

void DeviceHub::refill(Budget& budget) const {
    const Clock::MonotonicTime now = clock_.monotonicNow();
    const double seconds = std::chrono::duration<double>(now - budget.refilledAt).count();
    budget.refilledAt = now;
    // The steady refill stops at the burst; credits for commands sent may lie above it.
    budget.messages = std::min(budget.messages + seconds * messagesPerSecond,
                               std::max(budget.messages, messageBurst));
    budget.bytes =
        std::min(budget.bytes + seconds * bytesPerSecond, std::max(budget.bytes, byteBurst));
}

bool DeviceHub::spend(Budget& budget, std::size_t size) const {
    refill(budget);
    if (budget.messages < 1 || budget.bytes < static_cast<double>(size)) {
        return false;
    }
    budget.messages -= 1;
    budget.bytes -= static_cast<double>(size);
    return true;
}

void DeviceHub::receive(std::uint64_t number, std::string_view bytes) {
    const auto found = sessions_.find(number);
    if (found == sessions_.end()) {
        return;
    }
    Session& session = found->second;
    if (bytes.size() > largestMessage) {
        end(number, closeTooBig);
        return;
    }
    if (session.budget != nullptr && !spend(*session.budget, bytes.size())) {
        qWarning("relay: device %s sent past its budget", session.deviceId.c_str());
        end(number, closePolicy);
        return;
    }
    JSON message;
    try {
        message = JSON::parse(bytes);
    } catch (const std::exception&) {
        end(number, closeInvalidPayload);
        return;
    }
    if (session.deviceId.empty()) {
        // The token is checked first: a stranger's message costs a parse and a digest, never
        // the contract checks.
        const std::optional<RelayStore::Device> device = authenticate(number, session, message);
        if (!device) {
            return;
        }
        // Reconnecting does not renew the budget.
        Budget& budget = budgetOf(device->id);
        if (!spend(budget, bytes.size())) {
            qWarning("relay: device %s said hello past its budget", device->id.c_str());
            end(number, closePolicy);
            return;
        }
        hello(number, session, *device, budget, message);
        return;
    }
    try {
        validator_.validate("DeviceMessage", message);
    } catch (const ContractError&) {
        end(number, closePolicy);
        return;
    }
    session.lastHeard = clock_.monotonicNow();
    const std::string type = memberText(message, "type");
    if (type == "hello") {
        end(number, closePolicy);
        return;
    }
    if (type == "revoke_self") {
        revoke(session.deviceId);
        return;
    }
    handle(session, std::move(message), bytes.size());
}

std::optional<RelayStore::Device> DeviceHub::authenticate(std::uint64_t number, Session& session,
                                                          const JSON& message) {
    if (memberText(message, "type") != "hello") {
        end(number, closePolicy);
        return std::nullopt;
    }
    const std::string* token = message.stringMember("device_token");
    std::optional<RelayStore::Device> device = store_.device(session.deviceHeader);
    if (token == nullptr || !device ||
        !RelaySecrets::same(device->tokenHash, RelaySecrets::digest(*token))) {
        end(number, closeUnauthorized);
        return std::nullopt;
    }
    return device;
}

void DeviceHub::hello(std::uint64_t number, Session& session, const RelayStore::Device& device,
                      Budget& budget, const JSON& message) {
    try {
        validator_.validate("DeviceMessage", message);
    } catch (const ContractError&) {
        end(number, closePolicy);
        return;
    }
    session.lastHeard = clock_.monotonicNow();
    // Only the holder of the token learns that the device was revoked.
    if (device.revoked) {
        JSON revoke = envelope("revoke", {}, clock_.now());
        deliver(session, revoke);
        end(number, closeRevoked);
        return;
    }
    // A name with control or direction characters could pass for another computer's.
    if (!RelayText::plainName(memberText(message, "device_name"))) {
        end(number, closePolicy);
        return;
    }
    // A device has one session: the newer one wins (the older is likely a dead connection).
    if (const auto previous = byDevice_.find(device.id); previous != byDevice_.end()) {
        const std::uint64_t old = previous->second;
        deliver(sessions_.at(old), envelope("bye", {}, clock_.now()));
        end(old, closeNormal);
    }
    session.deviceId = device.id;
    byDevice_[device.id] = number;
    Live& live = live_[device.id];
    session.budget = &budget;
    session.live = &live;
    live.online = true;
    live.capabilities =
        message.find("capabilities") != nullptr ? *message.find("capabilities") : JSON();
    live.agentVersion = memberText(message, "agent_version");
    live.osVersion = memberText(message, "macos_version");
    live.reportedName = memberText(message, "device_name");
    live.lastSeen = clock_.now();
    live.accountId = device.accountId;
    deliver(session, envelope("ready", JSON::Object{{"device_id", JSON(device.id)}}, clock_.now()));
    deviceChanged(device.id);
}

void DeviceHub::handle(Session& session, JSON message, std::size_t size) {
    const std::string type = memberText(message, "type");
    Live& live = *session.live;
    live.lastSeen = clock_.now();
    if (type == "heartbeat") {
        live.capabilities = std::move(message.object()->at("capabilities"));
        deviceChanged(session.deviceId);
        return;
    }
    const std::string commandId = memberText(message, "command_id");
    const auto found = commands_.find(commandId);
    // A device reports only on its own commands; anything else is dropped, not fatal.
    if (found == commands_.end() || found->second.command.deviceId != session.deviceId ||
        found->second.command.state == CommandState::Finished) {
        return;
    }
    // What answers its own open commands is not counted against the device's budget: it can
    // send only two of those per command, and a large result must never cut it off.
    Budget& budget = *session.budget;
    refill(budget);
    budget.messages = std::min(budget.messages + 1, messageBurst);
    budget.bytes = std::min(budget.bytes + static_cast<double>(size), byteBurst);
    if (type == "delivered") {
        found->second.command.state = CommandState::Delivered;
        commandChanged(found->second.command);
        return;
    }
    if (type == "result") {
        const bool ok = message.find("ok")->isTrue();
        JSON data = ok ? std::move(message.object()->at("data")) : JSON();
        finish(commandId, ok, std::move(data),
               ok ? std::string() : memberText(message, "error_code"), size);
    }
}

void DeviceHub::end(std::uint64_t number, int code) {
    const auto found = sessions_.find(number);
    if (found == sessions_.end()) {
        return;
    }
    DeviceLink* link = found->second.link;
    const std::string deviceId = found->second.deviceId;
    sessions_.erase(found);
    if (!deviceId.empty()) {
        if (const auto current = byDevice_.find(deviceId);
            current != byDevice_.end() && current->second == number) {
            byDevice_.erase(current);
            live_[deviceId].online = false;
            failOutstanding(deviceId);
            deviceChanged(deviceId);
        }
    }
    link->close(code);
}

void DeviceHub::closed(std::uint64_t number) {
    try {
        const auto found = sessions_.find(number);
        if (found == sessions_.end()) {
            return;
        }
        const std::string deviceId = found->second.deviceId;
        sessions_.erase(found);
        if (const auto current = byDevice_.find(deviceId);
            current != byDevice_.end() && current->second == number) {
            byDevice_.erase(current);
            live_[deviceId].online = false;
            failOutstanding(deviceId);
            deviceChanged(deviceId);
        }
    } catch (const std::exception& error) {
        qWarning("relay: device session close failed: %s", error.what());
    }
}

bool DeviceHub::deliver(Session& session, const JSON& message) {
    try {
        validator_.validate("RelayMessage", message);
        session.link->sendText(message.data());
        return true;
    } catch (const std::exception& error) {
        qWarning("relay: not sent to a device: %s", error.what());
        return false;
    }
}

void DeviceHub::finish(const std::string& commandId, bool ok, JSON data, std::string errorCode,
                       std::size_t weight) {
    Pending& pending = commands_.at(commandId);
    if (const auto open = openByDevice_.find(pending.command.deviceId);
        open != openByDevice_.end()) {
        open->second.erase(commandId);
        if (open->second.empty()) {
            openByDevice_.erase(open);
        }
    }
    pending.command.state = CommandState::Finished;
    pending.command.ok = ok;
    pending.command.data = std::move(data);
    pending.command.errorCode = std::move(errorCode);
    pending.finishedAt = clock_.monotonicNow();
    pending.weight = weight + finishedOverhead;
    finishedOrder_.push_back(commandId);
    finishedWeight_ += pending.weight;
    commandChanged(pending.command);
    forgetFinished(pending.finishedAt);
    if (!pending.audited) {
        return;
    }
    // The result still reaches the dashboard; when this fails, the row keeps its empty outcome.
    write([commandId, outcome = ok ? std::string("succeeded") : pending.command.errorCode,
           now = clock_.now()](RelayStore& store) { store.finishAudit(commandId, outcome, now); });
}

void DeviceHub::deviceChanged(const std::string& deviceId) {
    if (observer_ == nullptr) {
        return;
    }
    const auto found = live_.find(deviceId);
    if (found != live_.end()) {
        observer_->deviceChanged(deviceId, found->second);
    }
}

void DeviceHub::commandChanged(const Command& command) {
    if (observer_ != nullptr) {
        observer_->commandChanged(command);
    }
}

void DeviceHub::failOutstanding(const std::string& deviceId) {
    const auto open = openByDevice_.find(deviceId);
    if (open == openByDevice_.end()) {
        return;
    }
    std::vector<std::pair<std::string, std::string>> ended;
    for (const std::string& id : open->second) {
        // Delivered may have run: the person must look before sending it again.
        ended.emplace_back(id, commands_.at(id).command.state == CommandState::Sent
                                   ? "device_offline"
                                   : "device_disconnected");
    }
    for (auto& [id, code] : ended) {
        finish(id, false, JSON(), std::move(code));
    }
}

void DeviceHub::forgetFinished(Clock::MonotonicTime now) {
    while (!finishedOrder_.empty()) {
        const auto found = commands_.find(finishedOrder_.front());
        if (found != commands_.end() && now - found->second.finishedAt < keepFinished &&
            finishedOrder_.size() <= limits_.finishedKept &&
            finishedWeight_ <= limits_.finishedBytes) {
            return;
        }
        if (found != commands_.end()) {
            finishedWeight_ -= found->second.weight;
            commands_.erase(found);
        }
        finishedOrder_.pop_front();
    }
}

void DeviceHub::sweep() {
    try {
        sweepNow();
    } catch (const std::exception& error) {
        qWarning("relay: sweep failed: %s", error.what());
    }
}

void DeviceHub::sweepNow() {
    const Clock::MonotonicTime now = clock_.monotonicNow();
    const Clock::WallTime wall = clock_.now();
    // Limits only move later while a session or command lives (a message heard, a command
    // delivered), so the earliest one seen in the last walk bounds them all: thousands of
    // heartbeating devices cost a walk every few tens of seconds, not every second.
    if (now >= nextSessionLimit_) {
        std::vector<std::pair<std::uint64_t, int>> ending;
        Clock::MonotonicTime next = Clock::MonotonicTime::max();
        for (const auto& [number, session] : sessions_) {
            const bool proved = !session.deviceId.empty();
            const Clock::MonotonicTime limit =
                proved ? session.lastHeard + silenceLimit : session.openedAt + helloLimit;
            if (now >= limit) {
                ending.emplace_back(number, proved ? closeGoingAway : closePolicy);
            } else {
                next = std::min(next, limit);
            }
        }
        nextSessionLimit_ = next;
        for (const auto& [number, code] : ending) {
            end(number, code);
        }
    }

    forgetFinished(now);
    if (wall >= nextCommandLimit_) {
        std::vector<std::pair<std::string, std::string>> expired;
        Clock::WallTime next = Clock::WallTime::max();
        for (const auto& [device, open] : openByDevice_) {
            for (const std::string& id : open) {
                const Command& command = commands_.at(id).command;
                // A command on another relay may be delivered there without this one knowing.
                const bool sent =
                    command.state == CommandState::Sent && !commands_.at(id).elsewhere;
                const Clock::WallTime limit =
                    command.expiresAt + (sent ? deliveryGrace : resultLimit);
                if (wall >= limit) {
                    expired.emplace_back(id, sent ? "command_expired" : "command_timed_out");
                } else {
                    next = std::min(next, limit);
                }
            }
        }
        nextCommandLimit_ = next;
        for (auto& [id, code] : expired) {
            finish(id, false, JSON(), std::move(code));
        }
    }
}

std::optional<DeviceHub::Live> DeviceHub::live(const std::string& deviceId) const {
    const auto found = live_.find(deviceId);
    if (found == live_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::string DeviceHub::send(std::int64_t accountId, const std::string& deviceId,
                            const std::string& action, const JSON& params) {
    const std::optional<RelayStore::Device> device = store_.device(deviceId);
    if (!device) {
        throw ContractError("device_not_found");
    }
    return send(accountId, *device, action, params);
}

std::string DeviceHub::send(std::int64_t accountId, const RelayStore::Device& device,
                            const std::string& action, const JSON& params) {
    Outgoing outgoing = prepare(accountId, device, action, params);
    store_.addAudit(outgoing.audit());
    return dispatch(std::move(outgoing));
}

DeviceHub::Command DeviceHub::build(std::int64_t accountId, const RelayStore::Device& device,
                                    const std::string& action) const {
    if (device.revoked || device.accountId != accountId) {
        throw ContractError("device_not_found");
    }
    Command command;
    command.id = Uuid::make();
    command.accountId = accountId;
    command.deviceId = device.id;
    command.action = action;
    return command;
}

DeviceHub::Outgoing DeviceHub::prepareElsewhere(std::int64_t accountId,
                                                const RelayStore::Device& device,
                                                const std::string& action,
                                                const JSON& params) const {
    Outgoing outgoing;
    outgoing.command = build(accountId, device, action);
    outgoing.sentAt = clock_.now();
    Command& command = outgoing.command;
    command.expiresAt = outgoing.sentAt + commandLifetime;
    outgoing.message =
        envelope("command",
                 JSON::Object{{"command_id", JSON(command.id)},
                              {"action", JSON(action)},
                              {"params", params},
                              {"expires_at", JSON(WireTime::text(command.expiresAt))}},
                 outgoing.sentAt);
    try {
        validator_.validate("RelayMessage", outgoing.message);
    } catch (const ContractError&) {
        throw ContractError("invalid_request");
    }
    return outgoing;
}

DeviceHub::Outgoing DeviceHub::prepare(std::int64_t accountId, const RelayStore::Device& device,
                                       const std::string& action, const JSON& params) const {
    build(accountId, device, action);
    if (!byDevice_.contains(device.id)) {
        throw ContractError("device_offline");
    }
    if (busy(device.id)) {
        throw ContractError("device_busy");
    }
    return prepareElsewhere(accountId, device, action, params);
}

void DeviceHub::open(Pending pending) {
    const Command& command = pending.command;
    // The holder enforces delivery; the sender waits as long as a delivered command may run.
    const Clock::WallTime limit =
        command.expiresAt + (pending.elsewhere ? resultLimit : deliveryGrace);
    nextCommandLimit_ = std::min(nextCommandLimit_, limit);
    openByDevice_[command.deviceId].insert(command.id);
    const std::string id = command.id;
    commands_.emplace(id, std::move(pending));
}

std::string DeviceHub::dispatch(Outgoing outgoing) {
    Command& command = outgoing.command;
    // The device may have gone, or filled up, while its row was written: the row says why the
    // command never left.
    const auto session = byDevice_.find(command.deviceId);
    const char* refusal = session == byDevice_.end() ? "device_offline"
                          : busy(command.deviceId)   ? "device_busy"
                                                     : nullptr;
    if (refusal != nullptr) {
        write([id = command.id, outcome = std::string(refusal),
               now = clock_.now()](RelayStore& store) { store.finishAudit(id, outcome, now); });
        throw ContractError(refusal);
    }
    open(Pending{command, clock_.monotonicNow(), {}});
    sessions_.at(session->second).link->sendText(outgoing.message.data());
    commandChanged(command);
    return command.id;
}

void DeviceHub::track(const Outgoing& outgoing) {
    Pending pending{outgoing.command, clock_.monotonicNow(), {}};
    pending.elsewhere = true;
    open(std::move(pending));
    commandChanged(outgoing.command);
}

void DeviceHub::settle(const std::string& commandId, bool ok, JSON data, std::string errorCode) {
    const auto found = commands_.find(commandId);
    if (found == commands_.end() || found->second.command.state == CommandState::Finished) {
        return;
    }
    finish(commandId, ok, std::move(data), std::move(errorCode));
}

std::string DeviceHub::relay(std::int64_t accountId, const std::string& deviceId,
                             const std::string& action, const JSON& message) {
    const std::string* id = message.stringMember("command_id");
    const std::string* expires = message.stringMember("expires_at");
    const std::optional<Clock::WallTime> expiresAt =
        expires != nullptr ? WireTime::parse(*expires) : std::nullopt;
    if (id == nullptr || !expiresAt) {
        return "invalid_request";
    }
    // Handed over again (the bus never does, but a device is never sent one id twice).
    if (commands_.contains(*id)) {
        return {};
    }
    const auto session = byDevice_.find(deviceId);
    if (session == byDevice_.end()) {
        return "device_offline";
    }
    if (busy(deviceId)) {
        return "device_busy";
    }
    Command command;
    command.id = *id;
    command.accountId = accountId;
    command.deviceId = deviceId;
    command.action = action;
    command.expiresAt = *expiresAt;
    if (!deliver(sessions_.at(session->second), message)) {
        return "invalid_request";
    }
    Pending pending{command, clock_.monotonicNow(), {}};
    pending.audited = false;
    open(std::move(pending));
    commandChanged(command);
    return {};
}

void DeviceHub::drop(const std::string& deviceId) {
    if (const auto session = byDevice_.find(deviceId); session != byDevice_.end()) {
        end(session->second, closeGoingAway);
    }
}

bool DeviceHub::busy(const std::string& deviceId) const {
    const auto open = openByDevice_.find(deviceId);
    return open != openByDevice_.end() && open->second.size() >= outstandingPerDevice;
}

void DeviceHub::write(std::function<void(RelayStore&)> work) {
    std::function<void(RelayStore&)> logged = [work = std::move(work)](RelayStore& store) {
        try {
            work(store);
        } catch (const std::exception& error) {
            qWarning("relay: audit not finished: %s", error.what());
        }
    };
    if (writeLater_) {
        writeLater_(std::move(logged));
    } else {
        logged(store_);
    }
}

std::optional<DeviceHub::Command> DeviceHub::command(std::int64_t accountId,
                                                     const std::string& commandId) const {
    const auto found = commands_.find(commandId);
    if (found == commands_.end() || found->second.command.accountId != accountId) {
        return std::nullopt;
    }
    return found->second.command;
}

void DeviceHub::revoke(const std::string& deviceId) {
    store_.revokeDevice(deviceId);
    revoked(deviceId);
}

void DeviceHub::revoked(const std::string& deviceId) {
    const auto found = byDevice_.find(deviceId);
    if (found == byDevice_.end()) {
        return;
    }
    const std::uint64_t number = found->second;
    deliver(sessions_.at(number), envelope("revoke", {}, clock_.now()));
    end(number, closeRevoked);
}

} // namespace corvane
