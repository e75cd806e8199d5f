#include "relay/InProcessRateLimits.h"

#include <algorithm>

namespace corvane {

RateLimits::Answer InProcessRateLimits::answer(Events& events, Rule rule,
                                               Clock::WallTime now) const {
    while (!events.times.empty() && now - events.times.front() >= rule.window) {
        events.times.pop_front();
    }
    const std::size_t allowed = static_cast<std::size_t>(std::max(rule.allowed, 1));
    Answer out;
    out.count = events.times.size();
    out.allowed = out.count < allowed;
    if (!out.allowed) {
        const Clock::WallTime freeing = events.times[out.count - allowed];
        out.retryAfter = std::max(
            std::chrono::duration_cast<std::chrono::milliseconds>(freeing + rule.window - now),
            std::chrono::milliseconds(1));
    }
    return out;
}

void InProcessRateLimits::add(const std::string& key, Rule rule, Clock::WallTime now) {
    if (events_.size() >= trackedKeys && !events_.contains(key)) {
        std::erase_if(events_, [now](const auto& entry) { return now >= entry.second.expiresAt; });
    }
    Events& events = events_[key];
    events.times.push_back(now);
    while (events.times.size() > static_cast<std::size_t>(std::max(rule.allowed, 1))) {
        events.times.pop_front();
    }
    events.expiresAt = now + rule.window;
}

QCoro::Task<RateLimits::Answer> InProcessRateLimits::check(std::string key, Rule rule,
                                                           Clock::WallTime now) {
    const auto found = events_.find(key);
    if (found == events_.end()) {
        co_return Answer{};
    }
    co_return answer(found->second, rule, now);
}

QCoro::Task<RateLimits::Answer> InProcessRateLimits::note(std::string key, Rule rule,
                                                          Clock::WallTime now) {
    add(key, rule, now);
    co_return answer(events_[key], rule, now);
}

QCoro::Task<RateLimits::Answer> InProcessRateLimits::take(std::string key, Rule rule,
                                                          Clock::WallTime now) {
    if (const auto found = events_.find(key); found != events_.end()) {
        const Answer before = answer(found->second, rule, now);
        if (!before.allowed) {
            co_return before;
        }
    }
    add(key, rule, now);
    Answer after = answer(events_[key], rule, now);
    after.allowed = true;
    after.retryAfter = {};
    co_return after;
}

QCoro::Task<void> InProcessRateLimits::forget(std::string key) {
    events_.erase(key);
    co_return;
}

} // namespace corvane
