#pragma once

#include "relay/WebSessions.h"

#include <map>

namespace corvane {

// Sessions of one relay, in memory (gone with the process, as sign-ins were before).
class InProcessWebSessions final : public WebSessions {
public:
    QCoro::Task<void> create(Session session) override;
    QCoro::Task<std::optional<Session>> find(std::string key, Clock::WallTime now) override;
    QCoro::Task<bool> touch(std::string key, Clock::WallTime now) override;
    QCoro::Task<void> end(std::string key) override;
    QCoro::Task<std::vector<std::string>> endAll(std::int64_t personId,
                                                 std::string keptKey) override;
    QCoro::Task<std::vector<Session>> sessionsOf(std::int64_t personId,
                                                 Clock::WallTime now) override;

private:
    std::map<std::string, Session, std::less<>> sessions_;
};

} // namespace corvane
