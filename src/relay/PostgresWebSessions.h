#pragma once

#include "relay/WebSessions.h"

namespace corvane {

class PostgresConnection;

// Sessions in the shared database, so that any relay behind the balancer knows a browser signed
// in at another one. Expired rows go when a new session is made.
class PostgresWebSessions final : public WebSessions {
public:
    explicit PostgresWebSessions(PostgresConnection& connection)
        : connection_(connection) {}

    QCoro::Task<void> create(Session session) override;
    QCoro::Task<std::optional<Session>> find(std::string key, Clock::WallTime now) override;
    QCoro::Task<bool> touch(std::string key, Clock::WallTime now) override;
    QCoro::Task<void> end(std::string key) override;
    QCoro::Task<std::vector<std::string>> endAll(std::int64_t personId,
                                                 std::string keptKey) override;
    QCoro::Task<std::vector<Session>> sessionsOf(std::int64_t personId,
                                                 Clock::WallTime now) override;

private:
    PostgresConnection& connection_;
};

} // namespace corvane
