#include "relay/InProcessWebSessions.h"

#include <algorithm>

namespace corvane {

QCoro::Task<void> InProcessWebSessions::create(Session session) {
    // The expired go as a new one comes, so the map stays bounded by live sessions.
    const Clock::WallTime now = session.startedAt;
    std::erase_if(sessions_, [now](const auto& entry) { return now >= entry.second.expiresAt; });
    std::string key = session.key;
    sessions_.insert_or_assign(std::move(key), std::move(session));
    co_return;
}

QCoro::Task<std::optional<WebSessions::Session>> InProcessWebSessions::find(std::string key,
                                                                            Clock::WallTime now) {
    const auto found = sessions_.find(key);
    if (found == sessions_.end() || now >= found->second.expiresAt) {
        co_return std::nullopt;
    }
    co_return std::optional<Session>(found->second);
}

QCoro::Task<bool> InProcessWebSessions::touch(std::string key, Clock::WallTime now) {
    const auto found = sessions_.find(key);
    if (found == sessions_.end() || now >= found->second.expiresAt) {
        co_return false;
    }
    found->second.lastUsedAt = std::max(found->second.lastUsedAt, now);
    co_return true;
}

QCoro::Task<void> InProcessWebSessions::end(std::string key) {
    sessions_.erase(key);
    co_return;
}

QCoro::Task<std::vector<std::string>> InProcessWebSessions::endAll(std::int64_t personId,
                                                                   std::string keptKey) {
    std::vector<std::string> ended;
    std::erase_if(sessions_, [&](const auto& entry) {
        if (entry.second.personId != personId || entry.first == keptKey) {
            return false;
        }
        ended.push_back(entry.first);
        return true;
    });
    co_return ended;
}

QCoro::Task<std::vector<WebSessions::Session>>
InProcessWebSessions::sessionsOf(std::int64_t personId, Clock::WallTime now) {
    std::vector<Session> out;
    for (const auto& [key, session] : sessions_) {
        if (session.personId == personId && now < session.expiresAt) {
            out.push_back(session);
        }
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const Session& a, const Session& b) { return a.startedAt < b.startedAt; });
    co_return out;
}

} // namespace corvane
