#include "relay/RelayRateLimit.h"

namespace corvane {

RelayRateLimit::RelayRateLimit(const Clock& clock, int allowed, std::chrono::milliseconds window)
    : clock_(clock)
    , allowed_(static_cast<std::size_t>(allowed))
    , window_(window) {}

std::string RelayRateLimit::addressBlock(const QHostAddress& address) {
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped) {
        return QHostAddress(v4).toString().toStdString();
    }
    if (address.protocol() != QAbstractSocket::IPv6Protocol) {
        return address.toString().toStdString();
    }
    Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int i = 8; i < 16; ++i) {
        bytes[i] = 0;
    }
    return QHostAddress(bytes).toString().toStdString() + "/64";
}

bool RelayRateLimit::limited(const std::string& key) {
    return count(key) >= allowed_;
}

std::size_t RelayRateLimit::count(const std::string& key) {
    const auto found = events_.find(key);
    if (found == events_.end()) {
        return 0;
    }
    const Clock::MonotonicTime now = clock_.monotonicNow();
    std::deque<Clock::MonotonicTime>& times = found->second;
    while (!times.empty() && now - times.front() >= window_) {
        times.pop_front();
    }
    const std::size_t inWindow = times.size();
    if (inWindow == 0) {
        events_.erase(found);
    }
    return inWindow;
}

void RelayRateLimit::note(const std::string& key) {
    const Clock::MonotonicTime now = clock_.monotonicNow();
    if (events_.size() >= trackedKeys) {
        std::erase_if(events_,
                      [&](const auto& entry) { return now - entry.second.back() >= window_; });
    }
    std::deque<Clock::MonotonicTime>& times = events_[key];
    times.push_back(now);
    if (times.size() > allowed_) {
        times.pop_front();
    }
}

} // namespace corvane
