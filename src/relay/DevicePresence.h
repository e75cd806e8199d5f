#pragma once

#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// Which relay holds each device's socket. A relay claims a device when its session opens and
// releases it when it closes; its claims live as long as the relay's lease, which the relay
// renews (about every leaseTime / 3) and which simply runs out when the relay dies. A claim of a
// device another relay holds takes it over (the device reconnected elsewhere); the old holder
// learns it from its next renewal. Main thread; database calls are awaited and fail with
// RelayStoreError.
class DevicePresence {
public:
    static constexpr std::chrono::seconds leaseTime{15};

    virtual ~DevicePresence() = default;

    // This relay's id, as holder() names it.
    virtual const std::string& relayId() const noexcept = 0;
    virtual QCoro::Task<void> claim(std::string deviceId) = 0;
    // Releases the device if this relay still holds it.
    virtual QCoro::Task<void> release(std::string deviceId) = 0;
    // Extends this relay's lease; returns the devices other relays took over since the last one.
    virtual QCoro::Task<std::vector<std::string>> renew() = 0;
    // The relay holding `deviceId`; absent when nobody does or its holder's lease ran out.
    virtual QCoro::Task<std::optional<std::string>> holder(std::string deviceId) = 0;
    // Gives up the lease and every claim at once (a relay stopping cleanly).
    virtual QCoro::Task<void> leave() = 0;
};

} // namespace corvane
