#include "relay/InProcessDevicePresence.h"

namespace corvane {

QCoro::Task<void> InProcessDevicePresence::claim(std::string deviceId) {
    held_.insert(std::move(deviceId));
    co_return;
}

QCoro::Task<void> InProcessDevicePresence::release(std::string deviceId) {
    held_.erase(deviceId);
    co_return;
}

QCoro::Task<std::vector<std::string>> InProcessDevicePresence::renew() {
    co_return std::vector<std::string>{};
}

QCoro::Task<std::optional<std::string>> InProcessDevicePresence::holder(std::string deviceId) {
    if (!held_.contains(deviceId)) {
        co_return std::nullopt;
    }
    co_return std::optional<std::string>(relayId_);
}

QCoro::Task<void> InProcessDevicePresence::leave() {
    held_.clear();
    co_return;
}

} // namespace corvane
