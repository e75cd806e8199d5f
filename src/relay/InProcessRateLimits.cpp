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

QCoro::Task<RateLimits::Answer> InProcessRateLimits::start(std::string key, std::string id,
                                                           Rule rule, Clock::WallTime now,
                                                           Clock::WallTime until) {
    if (underWay_.size() >= trackedKeys && !underWay_.contains(key)) {
        for (auto& [ignored, checks] : underWay_) {
            std::erase_if(checks, [now](const auto& check) { return now >= check.second; });
        }
        std::erase_if(underWay_, [](const auto& entry) { return entry.second.empty(); });
    }
    const auto found = events_.find(key);
    Answer out = found == events_.end() ? Answer{} : answer(found->second, rule, now);
    auto& checks = underWay_[key];
    std::erase_if(checks, [now](const auto& check) { return now >= check.second; });
    if (out.allowed &&
        out.count + checks.size() >= static_cast<std::size_t>(std::max(rule.allowed, 1))) {
        out.allowed = false;
        out.retryAfter = checkRetry;
    }
    if (out.allowed) {
        checks[std::move(id)] = until;
    } else if (checks.empty()) {
        underWay_.erase(key);
    }
    co_return out;
}

QCoro::Task<void> InProcessRateLimits::finish(std::string key, std::string id) {
    if (const auto found = underWay_.find(key); found != underWay_.end()) {
        found->second.erase(id);
        if (found->second.empty()) {
            underWay_.erase(found);
        }
    }
    co_return;
}

QCoro::Task<void> InProcessRateLimits::forget(std::string key) {
    events_.erase(key);
    co_return;
}

} // namespace corvane
