#include "relay/PostgresCommandBus.h"

#include "core/ContractError.h"
#include "core/Detached.h"
#include "relay/DevicePresence.h"
#include "relay/PostgresConnection.h"
#include "relay/PostgresListener.h"
#include "relay/PostgresTime.h"

#include <stdexcept>

namespace corvane {

namespace {

// Row states in the statements: 0 sent, 1 taken by the holder, 2 answered, 3 result collected
// by the sender, 4 lost with its holder, 5 lost with its sender.

std::string channelOf(const std::string& relayId) {
    return "velto_bus_" + relayId;
}

bool plainId(const std::string& id) {
    return !id.empty() && id.size() <= 40 &&
           id.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789") == std::string::npos;
}

// Notices are "c\n<id>[\n<device>\n<body>]" and "r\n<id>[\n<body>]": the part in brackets only
// when it fits, else the row is read.
std::string notice(char kind, const std::string& id, const std::string& rest) {
    std::string whole = std::string(1, kind) + "\n" + id + "\n" + rest;
    if (whole.size() <= PostgresCommandBus::largestNotice) {
        return whole;
    }
    return std::string(1, kind) + "\n" + id;
}

} // namespace

PostgresCommandBus::PostgresCommandBus(PostgresConnection& connection, const Clock& clock,
                                       std::string relayId)
    : connection_(connection)
    , clock_(clock)
    , relayId_(std::move(relayId)) {
    if (!plainId(relayId_)) {
        throw std::invalid_argument("relay id for the command bus");
    }
}

PostgresCommandBus::~PostgresCommandBus() = default;

void PostgresCommandBus::listen(Handlers handlers) {
    handlers_ = std::move(handlers);
    listener_ = std::make_unique<PostgresListener>(
        connection_.address(), channelOf(relayId_), &context_,
        [this](std::string payload) { noticed(payload); },
        [this] { startDetached(recover(), onError()); });
}

std::function<void(std::exception_ptr)> PostgresCommandBus::onError() {
    // A task may end after the bus went (its connection's thread stopped under it).
    return [this, alive = std::weak_ptr<int>(alive_)](std::exception_ptr error) {
        if (!alive.expired()) {
            report(error);
        }
    };
}

void PostgresCommandBus::report(std::exception_ptr error) {
    // Whatever was missed is read again at the next sweep.
    recoverAtSweep_ = true;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        if (handlers_.failed) {
            handlers_.failed(e.what());
        }
    }
}

QCoro::Task<CommandBus::Sent> PostgresCommandBus::send(Command command) {
    // Ids and devices end at a line break in a notice.
    if (command.id.empty() || command.id.find('\n') != std::string::npos ||
        command.deviceId.empty() || command.deviceId.find('\n') != std::string::npos) {
        throw ContractError("invalid_request");
    }
    const PostgresConnection::Rows rows = co_await connection_.run(
        "send command",
        "WITH holder AS (SELECT p.relay_id FROM device_presence p JOIN relays r "
        "ON r.id = p.relay_id WHERE p.device_id = $2 AND r.lease_until > $5), "
        "queued AS (INSERT INTO bus_commands (id, device_id, sender, target, state, body, "
        "sent_at) SELECT $1, $2, $3, relay_id, 0, $4, $5 FROM holder "
        "ON CONFLICT (id) DO NOTHING RETURNING target) "
        "SELECT (SELECT count(*) FROM holder), "
        "(SELECT count(pg_notify('velto_bus_' || target, $6)) FROM queued)",
        PostgresConnection::values(
            command.id, command.deviceId, relayId_, command.body, PostgresTime::text(clock_.now()),
            notice('c', command.id, command.deviceId + "\n" + command.body)));
    if (rows.integer(0, 0) == 0) {
        co_return Sent::NoHolder;
    }
    co_return rows.integer(0, 1) == 0 ? Sent::Duplicate : Sent::Queued;
}

QCoro::Task<bool> PostgresCommandBus::answer(std::string commandId, std::string body) {
    const PostgresConnection::Rows rows = co_await connection_.run(
        "answer command",
        "WITH done AS (UPDATE bus_commands SET state = 2, result = $2 "
        "WHERE id = $1 AND target = $3 AND state = 1 RETURNING sender) "
        "SELECT count(pg_notify('velto_bus_' || sender, $4)) FROM done",
        PostgresConnection::values(commandId, body, relayId_, notice('r', commandId, body)));
    co_return rows.integer(0, 0) == 1;
}

void PostgresCommandBus::noticed(const std::string& payload) {
    if (payload.rfind("e\n", 0) == 0) {
        // "e\n<account>\n<type>\n<device>[\n<data>]"
        std::vector<std::string> parts;
        std::size_t at = 2;
        while (parts.size() < 3) {
            const std::size_t end = payload.find('\n', at);
            parts.push_back(payload.substr(at, end == std::string::npos ? end : end - at));
            if (end == std::string::npos) {
                at = payload.size() + 1;
                break;
            }
            at = end + 1;
        }
        Event event;
        try {
            event.accountId = std::stoll(parts.at(0));
        } catch (const std::exception&) {
            return; // not one of ours
        }
        event.type = parts.at(1);
        event.deviceId = parts.at(2);
        if (at <= payload.size()) {
            event.data = payload.substr(at);
        } else if (!event.deviceId.empty()) {
            startDetached(readReport(std::move(event)), onError());
            return;
        } else {
            return;
        }
        if (handlers_.event) {
            handlers_.event(std::move(event));
        }
        return;
    }
    const std::size_t idEnd = payload.find('\n', 2);
    if (payload.size() < 3 || payload[1] != '\n') {
        return; // not one of ours
    }
    const bool whole = idEnd != std::string::npos;
    std::string id = payload.substr(2, whole ? idEnd - 2 : std::string::npos);
    if (payload[0] == 'c') {
        std::string deviceId;
        std::string body;
        if (whole) {
            const std::size_t deviceEnd = payload.find('\n', idEnd + 1);
            if (deviceEnd == std::string::npos) {
                return;
            }
            deviceId = payload.substr(idEnd + 1, deviceEnd - idEnd - 1);
            body = payload.substr(deviceEnd + 1);
        }
        startDetached(take(std::move(id), whole, std::move(deviceId), std::move(body)), onError());
    } else if (payload[0] == 'r') {
        startDetached(collect(std::move(id), whole, whole ? payload.substr(idEnd + 1) : ""),
                      onError());
    }
}

QCoro::Task<> PostgresCommandBus::take(std::string id, bool whole, std::string deviceId,
                                       std::string body) {
    const std::weak_ptr<int> alive = alive_;
    const PostgresConnection::Rows rows = co_await connection_.run(
        "take command",
        whole ? "UPDATE bus_commands SET state = 1 WHERE id = $1 AND target = $2 AND state = 0 "
                "RETURNING id"
              : "UPDATE bus_commands SET state = 1 WHERE id = $1 AND target = $2 AND state = 0 "
                "RETURNING device_id, body",
        PostgresConnection::values(id, relayId_));
    if (alive.expired() || rows.count() == 0) {
        co_return; // taken already (a repeated notice, a recovery), or lost
    }
    if (!whole) {
        deviceId = rows.text(0, 0);
        body = rows.text(0, 1);
    }
    if (handlers_.command) {
        handlers_.command(Command{std::move(id), std::move(deviceId), std::move(body)});
    }
}

QCoro::Task<> PostgresCommandBus::collect(std::string id, bool whole, std::string body) {
    const std::weak_ptr<int> alive = alive_;
    const PostgresConnection::Rows rows = co_await connection_.run(
        "collect result",
        whole ? "UPDATE bus_commands SET state = 3 WHERE id = $1 AND sender = $2 AND state = 2 "
                "RETURNING id"
              : "UPDATE bus_commands SET state = 3 WHERE id = $1 AND sender = $2 AND state = 2 "
                "RETURNING result",
        PostgresConnection::values(id, relayId_));
    if (alive.expired() || rows.count() == 0) {
        co_return;
    }
    if (!whole) {
        body = rows.text(0, 0);
    }
    if (handlers_.result) {
        handlers_.result(Result{std::move(id), Outcome::Answered, std::move(body)});
    }
}

QCoro::Task<> PostgresCommandBus::readReport(Event event) {
    const std::weak_ptr<int> alive = alive_;
    const PostgresConnection::Rows rows = co_await connection_.run(
        "read report", "SELECT report FROM device_reports WHERE device_id = $1 AND account_id = $2",
        PostgresConnection::values(event.deviceId, std::to_string(event.accountId)));
    if (alive.expired() || rows.count() == 0) {
        co_return;
    }
    event.data = rows.text(0, 0);
    if (handlers_.event) {
        handlers_.event(std::move(event));
    }
}

QCoro::Task<void> PostgresCommandBus::publish(Event event) {
    // Types and devices end at a line break in a notice.
    if (event.type.empty() || event.type.find('\n') != std::string::npos ||
        event.deviceId.find('\n') != std::string::npos) {
        throw ContractError("invalid_request");
    }
    const std::string head =
        "e\n" + std::to_string(event.accountId) + "\n" + event.type + "\n" + event.deviceId;
    const std::string whole = head + "\n" + event.data;
    if (whole.size() > largestNotice && event.deviceId.empty()) {
        throw ContractError("invalid_request"); // nothing to read it from
    }
    co_await connection_.run(
        "publish event",
        "WITH kept AS (INSERT INTO device_reports (device_id, account_id, report, updated_at) "
        "SELECT $3, $1::bigint, $4, $5::bigint WHERE $3 <> '' ON CONFLICT (device_id) DO UPDATE "
        "SET account_id = EXCLUDED.account_id, report = EXCLUDED.report, "
        "updated_at = EXCLUDED.updated_at) "
        "SELECT count(pg_notify('velto_bus_' || id, $6)) FROM relays "
        "WHERE id <> $2 AND lease_until > $5::bigint",
        PostgresConnection::values(std::to_string(event.accountId), relayId_, event.deviceId,
                                   event.data, PostgresTime::text(clock_.now()),
                                   whole.size() <= largestNotice ? whole : head));
}

QCoro::Task<std::optional<std::string>> PostgresCommandBus::lastReport(std::string deviceId) {
    const PostgresConnection::Rows rows = co_await connection_.run(
        "last report", "SELECT report FROM device_reports WHERE device_id = $1",
        PostgresConnection::values(deviceId));
    if (rows.count() == 0) {
        co_return std::nullopt;
    }
    co_return rows.text(0, 0);
}

QCoro::Task<> PostgresCommandBus::recover() {
    const std::weak_ptr<int> alive = alive_;
    recoverAtSweep_ = false;
    const PostgresConnection::Rows commands = co_await connection_.run(
        "recover commands",
        "WITH got AS (UPDATE bus_commands SET state = 1 WHERE target = $1 AND state = 0 "
        "RETURNING id, device_id, body, sent_at) SELECT id, device_id, body FROM got "
        "ORDER BY sent_at, id",
        PostgresConnection::values(relayId_));
    if (alive.expired()) {
        co_return;
    }
    for (int i = 0; i < commands.count() && handlers_.command; ++i) {
        handlers_.command(Command{commands.text(i, 0), commands.text(i, 1), commands.text(i, 2)});
    }
    const PostgresConnection::Rows results = co_await connection_.run(
        "recover results",
        "WITH got AS (UPDATE bus_commands SET state = 3 WHERE sender = $1 AND state = 2 "
        "RETURNING id, result, sent_at) SELECT id, result FROM got ORDER BY sent_at, id",
        PostgresConnection::values(relayId_));
    if (alive.expired()) {
        co_return;
    }
    for (int i = 0; i < results.count() && handlers_.result; ++i) {
        handlers_.result(Result{results.text(i, 0), Outcome::Answered, results.text(i, 1)});
    }
}

QCoro::Task<void> PostgresCommandBus::sweep() {
    const std::weak_ptr<int> alive = alive_;
    const Clock::WallTime now = clock_.now();
    const PostgresConnection::Rows lost = co_await connection_.run(
        "end lost commands",
        "WITH lost AS (UPDATE bus_commands c SET state = 4 WHERE c.sender = $1 "
        "AND c.state IN (0, 1) AND NOT EXISTS (SELECT 1 FROM relays r WHERE r.id = c.target "
        "AND r.lease_until > $2) RETURNING c.id, c.sent_at) SELECT id FROM lost "
        "ORDER BY sent_at, id",
        PostgresConnection::values(relayId_, PostgresTime::text(now)));
    if (alive.expired()) {
        co_return;
    }
    for (int i = 0; i < lost.count() && handlers_.result; ++i) {
        handlers_.result(Result{lost.text(i, 0), Outcome::RelayLost, {}});
    }
    // A sender that died left its commands' rows open: nobody else would ever end them. Its
    // lease must have run out, and a command is as old as a lease, so that a relay that has sent
    // before its first renewal is not taken for dead.
    co_await connection_.run(
        "end commands of lost senders",
        "WITH orphaned AS (UPDATE bus_commands c SET state = 5 WHERE c.state IN (0, 1, 2) "
        "AND c.sent_at < $2::bigint AND NOT EXISTS (SELECT 1 FROM relays r "
        "WHERE r.id = c.sender AND r.lease_until > $1::bigint) RETURNING c.id) "
        "UPDATE audit SET outcome = 'relay_lost', finished_at = $1::bigint "
        "WHERE finished_at IS NULL AND command_id IN (SELECT id FROM orphaned)",
        PostgresConnection::values(PostgresTime::text(now),
                                   PostgresTime::text(now - DevicePresence::leaseTime)));
    if (alive.expired()) {
        co_return;
    }
    if (recoverAtSweep_ && listener_) {
        co_await recover();
        if (alive.expired()) {
            co_return;
        }
    }
    if (now - purgedAt_ >= std::chrono::minutes(1)) {
        purgedAt_ = now;
        co_await connection_.run("forget old commands",
                                 "DELETE FROM bus_commands WHERE sent_at < $1",
                                 PostgresConnection::values(PostgresTime::text(now - keepTime)));
    }
}

} // namespace corvane
