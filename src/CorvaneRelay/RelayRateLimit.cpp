#include "CorvaneRelay/RelayRateLimit.h"

namespace corvane {

RelayRateLimit::RelayRateLimit(const Clock& clock, int allowed, std::chrono::milliseconds window)
    : clock_(clock)
    , allowed_(static_cast<std::size_t>(allowed))
    , window_(window) {}

bool RelayRateLimit::limited(const std::string& key) {
    const auto found = events_.find(key);
    if (found == events_.end()) {
        return false;
    }
    const Clock::MonotonicTime now = clock_.monotonicNow();
    std::deque<Clock::MonotonicTime>& times = found->second;
    while (!times.empty() && now - times.front() >= window_) {
        times.pop_front();
    }
    if (times.empty()) {
        events_.erase(found);
        return false;
    }
    return times.size() >= allowed_;
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
