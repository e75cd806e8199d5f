#include "relay/PostgresDevicePresence.h"

#include "relay/PostgresConnection.h"
#include "relay/PostgresTime.h"

namespace corvane {

PostgresDevicePresence::PostgresDevicePresence(PostgresConnection& connection, const Clock& clock,
                                               std::string relayId, std::chrono::milliseconds lease)
    : connection_(connection)
    , clock_(clock)
    , relayId_(std::move(relayId))
    , lease_(lease) {}

QCoro::Task<void> PostgresDevicePresence::claim(std::string deviceId) {
    // One statement: the lease made or extended, and the device's row moved to this relay (the
    // table's trigger tells the relay it left).
    co_await connection_.run(
        "claim device",
        "WITH lease AS (INSERT INTO relays (id, lease_until) VALUES ($1, $4) "
        "ON CONFLICT (id) DO UPDATE SET lease_until = GREATEST(relays.lease_until, $4)) "
        "INSERT INTO device_presence (device_id, relay_id, claimed_at) VALUES ($2, $1, $3) "
        "ON CONFLICT (device_id) DO UPDATE SET relay_id = $1, claimed_at = $3",
        PostgresConnection::values(relayId_, deviceId, PostgresTime::text(clock_.now()),
                                   PostgresTime::text(clock_.now() + lease_)));
}

QCoro::Task<void> PostgresDevicePresence::release(std::string deviceId) {
    co_await connection_.run("release device",
                             "DELETE FROM device_presence WHERE device_id = $1 AND relay_id = $2",
                             PostgresConnection::values(deviceId, relayId_));
}

QCoro::Task<std::vector<std::string>> PostgresDevicePresence::renew() {
    const Clock::WallTime now = clock_.now();
    const PostgresConnection::Rows rows = co_await connection_.run(
        "renew lease",
        "WITH lease AS (INSERT INTO relays (id, lease_until) VALUES ($1, $2) "
        "ON CONFLICT (id) DO UPDATE SET lease_until = GREATEST(relays.lease_until, $2)) "
        "DELETE FROM presence_lost WHERE relay_id = $1 RETURNING device_id",
        PostgresConnection::values(relayId_, PostgresTime::text(now + lease_)));
    std::vector<std::string> lost;
    for (int i = 0; i < rows.count(); ++i) {
        lost.push_back(rows.text(i, 0));
    }
    if (now - buriedAt_ >= std::chrono::minutes(10)) {
        // Every relay that ever ran left a row: those dead for long go with what they held.
        buriedAt_ = now;
        co_await connection_.run(
            "forget dead relays",
            "WITH dead AS (DELETE FROM relays WHERE lease_until < $1 RETURNING id), "
            "devices AS (DELETE FROM device_presence WHERE relay_id IN (SELECT id FROM dead)) "
            "DELETE FROM presence_lost WHERE relay_id IN (SELECT id FROM dead)",
            PostgresConnection::values(PostgresTime::text(now - deadKept)));
    }
    co_return lost;
}

QCoro::Task<std::optional<std::string>> PostgresDevicePresence::holder(std::string deviceId) {
    const PostgresConnection::Rows rows = co_await connection_.run(
        "device holder",
        "SELECT p.relay_id FROM device_presence p JOIN relays r "
        "ON r.id = p.relay_id WHERE p.device_id = $1 AND r.lease_until > $2",
        PostgresConnection::values(deviceId, PostgresTime::text(clock_.now())));
    if (rows.count() == 0) {
        co_return std::nullopt;
    }
    co_return rows.text(0, 0);
}

QCoro::Task<void> PostgresDevicePresence::leave() {
    co_await connection_.run("leave",
                             "WITH devices AS (DELETE FROM device_presence WHERE relay_id = $1), "
                             "told AS (DELETE FROM presence_lost WHERE relay_id = $1) "
                             "DELETE FROM relays WHERE id = $1",
                             PostgresConnection::values(relayId_));
}

} // namespace corvane
