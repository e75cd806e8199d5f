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
    const std::string now = PostgresTime::text(clock_.now());
    const std::string until = PostgresTime::text(clock_.now() + lease_);
    // One statement: the lease is made or extended, the device's row moved to this relay, and
    // a previous holder told (read from the statement's snapshot, so before the move; a lock
    // there would skip the row the statement itself changes).
    co_await connection_.run(
        "claim device",
        "WITH lease AS (INSERT INTO relays (id, lease_until) VALUES ($1, $4) "
        "ON CONFLICT (id) DO UPDATE SET lease_until = GREATEST(relays.lease_until, $4)), "
        "previous AS (SELECT relay_id FROM device_presence WHERE device_id = $2), "
        "told AS (INSERT INTO presence_lost (relay_id, device_id) "
        "SELECT relay_id, $2 FROM previous WHERE relay_id <> $1 ON CONFLICT DO NOTHING) "
        "INSERT INTO device_presence (device_id, relay_id, claimed_at) VALUES ($2, $1, $3) "
        "ON CONFLICT (device_id) DO UPDATE SET relay_id = $1, claimed_at = $3",
        PostgresConnection::values(relayId_, deviceId, now, until));
}

QCoro::Task<void> PostgresDevicePresence::release(std::string deviceId) {
    co_await connection_.run("release device",
                             "DELETE FROM device_presence WHERE device_id = $1 AND relay_id = $2",
                             PostgresConnection::values(deviceId, relayId_));
}

QCoro::Task<std::vector<std::string>> PostgresDevicePresence::renew() {
    const PostgresConnection::Rows rows = co_await connection_.run(
        "renew lease",
        "WITH lease AS (INSERT INTO relays (id, lease_until) VALUES ($1, $2) "
        "ON CONFLICT (id) DO UPDATE SET lease_until = GREATEST(relays.lease_until, $2)) "
        "DELETE FROM presence_lost WHERE relay_id = $1 RETURNING device_id",
        PostgresConnection::values(relayId_, PostgresTime::text(clock_.now() + lease_)));
    std::vector<std::string> lost;
    for (int i = 0; i < rows.count(); ++i) {
        lost.push_back(rows.text(i, 0));
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
