#pragma once

#include "relay/DevicePresence.h"

#include "core/Clock.h"

namespace corvane {

class PostgresConnection;

// Presence in the shared database. The lease belongs to the relay (one row renewed for all its
// devices, however many), and a device's row names its relay: the device is held while that
// relay's lease lasts. Taking a device over records it for the old holder, who collects the list
// at its next renewal. Times come from the relays' clocks, which must agree far better than the
// lease (NTP does).
class PostgresDevicePresence final : public DevicePresence {
public:
    // How long the rows of a relay whose lease ran out are kept (its late renewal still finds
    // its devices within it).
    static constexpr std::chrono::hours deadKept{1};

    // `relayId` is this relay's, fresh for each process (lower-case letters and digits).
    PostgresDevicePresence(PostgresConnection& connection, const Clock& clock, std::string relayId,
                           std::chrono::milliseconds lease = leaseTime);

    const std::string& relayId() const noexcept override { return relayId_; }
    QCoro::Task<void> claim(std::string deviceId) override;
    QCoro::Task<void> release(std::string deviceId) override;
    QCoro::Task<std::vector<std::string>> renew() override;
    QCoro::Task<std::optional<std::string>> holder(std::string deviceId) override;
    QCoro::Task<void> leave() override;

private:
    PostgresConnection& connection_;
    const Clock& clock_;
    std::string relayId_;
    std::chrono::milliseconds lease_;
    Clock::WallTime buriedAt_;
};

} // namespace corvane
