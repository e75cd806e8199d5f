#include "relay/PostgresWebSessions.h"

#include "relay/PostgresConnection.h"
#include "relay/PostgresTime.h"

namespace corvane {

namespace {

constexpr const char* columns = "key, account_id, person_id, name, csrf, browser, started_at, "
                                "last_used_at, expires_at";

WebSessions::Session sessionAt(const PostgresConnection::Rows& rows, int row) {
    WebSessions::Session s;
    s.key = rows.text(row, 0);
    s.accountId = rows.integer(row, 1);
    s.personId = rows.integer(row, 2);
    s.name = rows.text(row, 3);
    s.csrf = rows.text(row, 4);
    s.browser = rows.text(row, 5);
    s.startedAt = PostgresTime::from(rows.integer(row, 6));
    s.lastUsedAt = PostgresTime::from(rows.integer(row, 7));
    s.expiresAt = PostgresTime::from(rows.integer(row, 8));
    return s;
}

PostgresConnection::Values createValues(const WebSessions::Session& s) {
    return {s.key,
            std::to_string(s.accountId),
            std::to_string(s.personId),
            s.name,
            s.csrf,
            s.browser,
            PostgresTime::text(s.startedAt),
            PostgresTime::text(s.lastUsedAt),
            PostgresTime::text(s.expiresAt)};
}

} // namespace

QCoro::Task<void> PostgresWebSessions::create(Session session) {
    // One statement: the expired go as the new one comes, so the table stays bounded by live
    // sessions.
    co_await connection_.run(
        "create session",
        "WITH gone AS (DELETE FROM web_sessions WHERE expires_at <= $7) "
        "INSERT INTO web_sessions (key, account_id, person_id, name, csrf, browser, started_at, "
        "last_used_at, expires_at) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)",
        createValues(session));
}

QCoro::Task<std::optional<WebSessions::Session>> PostgresWebSessions::find(std::string key,
                                                                           Clock::WallTime now) {
    static const std::string sql =
        std::string("SELECT ") + columns + " FROM web_sessions WHERE key = $1 AND expires_at > $2";
    const PostgresConnection::Rows rows = co_await connection_.run(
        "session", sql.c_str(), PostgresConnection::values(key, PostgresTime::text(now)));
    if (rows.count() == 0) {
        co_return std::nullopt;
    }
    co_return sessionAt(rows, 0);
}

QCoro::Task<bool> PostgresWebSessions::touch(std::string key, Clock::WallTime now) {
    const PostgresConnection::Rows rows = co_await connection_.run(
        "touch session",
        "UPDATE web_sessions SET last_used_at = GREATEST(last_used_at, $2) "
        "WHERE key = $1 AND expires_at > $2",
        PostgresConnection::values(key, PostgresTime::text(now)));
    co_return rows.affected() == 1;
}

QCoro::Task<void> PostgresWebSessions::end(std::string key) {
    co_await connection_.run("end session", "DELETE FROM web_sessions WHERE key = $1",
                             PostgresConnection::values(key));
}

QCoro::Task<std::vector<std::string>> PostgresWebSessions::endAll(std::int64_t personId,
                                                                  std::string keptKey) {
    const PostgresConnection::Rows rows =
        co_await connection_.run("end sessions",
                                 "DELETE FROM web_sessions WHERE person_id = $1 AND key <> $2 "
                                 "RETURNING key",
                                 PostgresConnection::values(std::to_string(personId), keptKey));
    std::vector<std::string> ended;
    for (int i = 0; i < rows.count(); ++i) {
        ended.push_back(rows.text(i, 0));
    }
    co_return ended;
}

QCoro::Task<std::vector<WebSessions::Session>>
PostgresWebSessions::sessionsOf(std::int64_t personId, Clock::WallTime now) {
    static const std::string sql = std::string("SELECT ") + columns +
                                   " FROM web_sessions WHERE person_id = $1 AND expires_at > $2 "
                                   "ORDER BY started_at, key";
    const PostgresConnection::Rows rows = co_await connection_.run(
        "sessions", sql.c_str(),
        PostgresConnection::values(std::to_string(personId), PostgresTime::text(now)));
    std::vector<Session> out;
    for (int i = 0; i < rows.count(); ++i) {
        out.push_back(sessionAt(rows, i));
    }
    co_return out;
}

} // namespace corvane
