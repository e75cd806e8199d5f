#pragma once

#include "relay/DevicePresence.h"

#include <set>

namespace corvane {

// Presence for one relay: it holds every device it claimed, and nobody takes one over.
class InProcessDevicePresence final : public DevicePresence {
public:
    explicit InProcessDevicePresence(std::string relayId = "local")
        : relayId_(std::move(relayId)) {}

    const std::string& relayId() const noexcept override { return relayId_; }
    QCoro::Task<void> claim(std::string deviceId) override;
    QCoro::Task<void> release(std::string deviceId) override;
    QCoro::Task<std::vector<std::string>> renew() override;
    QCoro::Task<std::optional<std::string>> holder(std::string deviceId) override;
    QCoro::Task<void> leave() override;

    bool holds(const std::string& deviceId) const { return held_.contains(deviceId); }

private:
    std::string relayId_;
    std::set<std::string, std::less<>> held_;
};

} // namespace corvane
