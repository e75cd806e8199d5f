#pragma once

#include "relay/RateLimits.h"

namespace corvane {

class PostgresConnection;

// Limits counted in the shared database: each key is one row holding the times of its newest
// events (at most `allowed`), changed by one statement, so relays counting at once never lose an
// event or both take the last one. Events under way sit in the same row ({id: until}), so that
// starting one is decided under the row's lock too. Rows whose newest event left its window (and
// whose events under way ended) are removed at most once a minute.
class PostgresRateLimits final : public RateLimits {
public:
    explicit PostgresRateLimits(PostgresConnection& connection)
        : connection_(connection) {}

    QCoro::Task<Answer> check(std::string key, Rule rule, Clock::WallTime now) override;
    QCoro::Task<Answer> note(std::string key, Rule rule, Clock::WallTime now) override;
    QCoro::Task<Answer> take(std::string key, Rule rule, Clock::WallTime now) override;
    QCoro::Task<void> forget(std::string key) override;
    QCoro::Task<Answer> start(std::string key, std::string id, Rule rule, Clock::WallTime now,
                              Clock::WallTime until) override;
    QCoro::Task<void> finish(std::string key, std::string id) override;

private:
    QCoro::Task<Answer> count(const char* sql, std::string key, Rule rule, Clock::WallTime now,
                              bool taking);
    QCoro::Task<void> purge(Clock::WallTime now);

    PostgresConnection& connection_;
    Clock::WallTime purgedAt_;
};

} // namespace corvane
