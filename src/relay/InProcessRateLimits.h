#pragma once

#include "relay/RateLimits.h"

#include <deque>
#include <map>

namespace corvane {

// Limits of one relay, in memory. Past `trackedKeys` keys, those whose newest event left every
// window are forgotten, so the table stays bounded.
class InProcessRateLimits final : public RateLimits {
public:
    static constexpr std::size_t trackedKeys = 10000;

    QCoro::Task<Answer> check(std::string key, Rule rule, Clock::WallTime now) override;
    QCoro::Task<Answer> note(std::string key, Rule rule, Clock::WallTime now) override;
    QCoro::Task<Answer> take(std::string key, Rule rule, Clock::WallTime now) override;
    QCoro::Task<void> forget(std::string key) override;
    QCoro::Task<Answer> start(std::string key, std::string id, Rule rule, Clock::WallTime now,
                              Clock::WallTime until) override;
    QCoro::Task<void> finish(std::string key, std::string id) override;

private:
    struct Events {
        std::deque<Clock::WallTime> times; // oldest first, at most the rule's `allowed`
        Clock::WallTime expiresAt;         // when the newest leaves its window
    };
    // The key's events inside the window, and the answer for them.
    Answer answer(Events& events, Rule rule, Clock::WallTime now) const;
    void add(const std::string& key, Rule rule, Clock::WallTime now);

    std::map<std::string, Events, std::less<>> events_;
    // Events under way per key: id → when it stops counting.
    std::map<std::string, std::map<std::string, Clock::WallTime>, std::less<>> underWay_;
};

} // namespace corvane
