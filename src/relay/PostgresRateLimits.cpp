#include "relay/PostgresRateLimits.h"

#include "relay/PostgresConnection.h"
#include "relay/PostgresTime.h"
#include "relay/RelayStoreError.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace corvane {

namespace {

using namespace std::chrono_literals;

// $1 key, $2 now, $3 window, $4 allowed. The newest `allowed` events inside the window, with or
// without the one happening now.
#define CORVANE_KEPT(source)                                                                       \
    "(SELECT COALESCE(array_agg(t ORDER BY t), '{}'::bigint[]) FROM (SELECT t FROM unnest(" source \
    ") t WHERE t > $2::bigint - $3::bigint ORDER BY t DESC LIMIT $4) k)"
#define CORVANE_IN_WINDOW                                                                          \
    "(SELECT count(*) FROM unnest(r.times) t WHERE t > $2::bigint - $3::bigint)"

constexpr const char* noteSql =
    "INSERT INTO rate_events AS r (key, times, granted, expires_at) "
    "VALUES ($1, ARRAY[$2::bigint], TRUE, $2::bigint + $3::bigint) "
    "ON CONFLICT (key) DO UPDATE SET times = " CORVANE_KEPT(
        "r.times || $2::bigint") ", "
                                 "granted = TRUE, expires_at = GREATEST(r.expires_at, $2::bigint + "
                                 "$3::bigint) RETURNING "
                                 "times, granted";

constexpr const char* takeSql =
    "INSERT INTO rate_events AS r (key, times, granted, expires_at) "
    "VALUES ($1, ARRAY[$2::bigint], TRUE, $2::bigint + $3::bigint) "
    "ON CONFLICT (key) DO UPDATE SET "
    "times = CASE WHEN " CORVANE_IN_WINDOW
    " < $4 THEN " CORVANE_KEPT("r.times || $2::bigint") " ELSE " CORVANE_KEPT(
        "r.times") " END, "
                   "granted = " CORVANE_IN_WINDOW " < $4, "
                   "expires_at = CASE WHEN " CORVANE_IN_WINDOW
                   " < $4 THEN GREATEST(r.expires_at, $2::bigint + $3::bigint) "
                   "ELSE r.expires_at END RETURNING times, granted";

// $5 id, $6 until. The events under way that still count at $2, as an object and their number.
#define CORVANE_LIVE_CHECKS                                                                        \
    "(SELECT COALESCE(jsonb_object_agg(c.key, c.value::bigint), '{}'::jsonb) FROM "                \
    "jsonb_each_text(r.checking) c WHERE c.value::bigint > $2::bigint)"
#define CORVANE_LIVE_COUNT                                                                         \
    "(SELECT count(*) FROM jsonb_each_text(r.checking) c WHERE c.value::bigint > $2::bigint)"

// Adds the event under way only when the window's events and those under way leave room; the
// row stays at least as long as the event counts.
constexpr const char* startSql =
    "INSERT INTO rate_events AS r (key, times, granted, expires_at, checking) "
    "VALUES ($1, '{}'::bigint[], TRUE, $6::bigint, jsonb_build_object($5::text, $6::bigint)) "
    "ON CONFLICT (key) DO UPDATE SET checking = CASE WHEN " CORVANE_IN_WINDOW
    " + " CORVANE_LIVE_COUNT " < $4 THEN " CORVANE_LIVE_CHECKS
    " || jsonb_build_object($5::text, $6::bigint) ELSE " CORVANE_LIVE_CHECKS " END, "
    "expires_at = GREATEST(r.expires_at, $6::bigint) "
    "RETURNING times, r.checking ? $5::text";

#undef CORVANE_LIVE_CHECKS
#undef CORVANE_LIVE_COUNT
#undef CORVANE_KEPT
#undef CORVANE_IN_WINDOW

// PostgreSQL's text form of a BIGINT[]: "{1,2,3}".
std::vector<std::int64_t> times(const std::string& text) {
    std::vector<std::int64_t> out;
    if (text.size() < 2 || text.front() != '{' || text.back() != '}') {
        throw RelayStoreError("relay database: not a list of times in a result");
    }
    const char* at = text.data() + 1;
    const char* end = text.data() + text.size() - 1;
    while (at < end) {
        std::int64_t value = 0;
        const auto [next, error] = std::from_chars(at, end, value);
        if (error != std::errc() || (next != end && *next != ',')) {
            throw RelayStoreError("relay database: not a list of times in a result");
        }
        out.push_back(value);
        at = next == end ? end : next + 1;
    }
    return out;
}

RateLimits::Answer answer(std::vector<std::int64_t> events, RateLimits::Rule rule,
                          Clock::WallTime now) {
    const std::int64_t at = PostgresTime::millis(now);
    std::erase_if(events, [&](std::int64_t t) { return t <= at - rule.window.count(); });
    std::sort(events.begin(), events.end());
    RateLimits::Answer out;
    out.count = events.size();
    const std::size_t allowed = static_cast<std::size_t>(std::max(rule.allowed, 1));
    out.allowed = out.count < allowed;
    if (!out.allowed) {
        // One more is allowed once enough of the oldest have left the window.
        const std::int64_t freeing = events[out.count - allowed];
        out.retryAfter = std::chrono::milliseconds(
            std::max<std::int64_t>(freeing + rule.window.count() - at, 1));
    }
    return out;
}

PostgresConnection::Values countValues(const std::string& key, RateLimits::Rule rule,
                                       Clock::WallTime now) {
    return {key, PostgresTime::text(now), std::to_string(rule.window.count()),
            std::to_string(std::max(rule.allowed, 1))};
}

} // namespace

QCoro::Task<RateLimits::Answer> PostgresRateLimits::check(std::string key, Rule rule,
                                                          Clock::WallTime now) {
    const PostgresConnection::Rows rows =
        co_await connection_.run("rate limit", "SELECT times FROM rate_events WHERE key = $1",
                                 PostgresConnection::values(key));
    co_return answer(rows.count() == 0 ? std::vector<std::int64_t>{} : times(rows.text(0, 0)), rule,
                     now);
}

QCoro::Task<RateLimits::Answer> PostgresRateLimits::note(std::string key, Rule rule,
                                                         Clock::WallTime now) {
    co_return co_await count(noteSql, std::move(key), rule, now, false);
}

QCoro::Task<RateLimits::Answer> PostgresRateLimits::take(std::string key, Rule rule,
                                                         Clock::WallTime now) {
    co_return co_await count(takeSql, std::move(key), rule, now, true);
}

QCoro::Task<RateLimits::Answer> PostgresRateLimits::count(const char* sql, std::string key,
                                                          Rule rule, Clock::WallTime now,
                                                          bool taking) {
    co_await purge(now);
    const PostgresConnection::Rows rows =
        co_await connection_.run("count event", sql, countValues(key, rule, now));
    Answer out = answer(times(rows.text(0, 0)), rule, now);
    if (taking) {
        // Taken: the event is in; refused: as limited as before it.
        const bool granted = rows.text(0, 1) == "t";
        if (granted) {
            out.allowed = true;
            out.retryAfter = {};
        } else if (out.allowed) {
            throw RelayStoreError("relay database: a refused event left room in its window");
        }
    }
    co_return out;
}

QCoro::Task<void> PostgresRateLimits::purge(Clock::WallTime now) {
    if (now - purgedAt_ < 1min) {
        co_return;
    }
    purgedAt_ = now;
    co_await connection_.run("forget old events", "DELETE FROM rate_events WHERE expires_at <= $1",
                             PostgresConnection::values(PostgresTime::text(now)));
}

QCoro::Task<RateLimits::Answer> PostgresRateLimits::start(std::string key, std::string id,
                                                          Rule rule, Clock::WallTime now,
                                                          Clock::WallTime until) {
    co_await purge(now);
    PostgresConnection::Values values = countValues(key, rule, now);
    values.emplace_back(std::move(id));
    values.emplace_back(PostgresTime::text(until));
    const PostgresConnection::Rows rows =
        co_await connection_.run("start event", startSql, std::move(values));
    Answer out = answer(times(rows.text(0, 0)), rule, now);
    if (out.allowed && rows.text(0, 1) != "t") {
        out.allowed = false;
        out.retryAfter = checkRetry;
    }
    co_return out;
}

QCoro::Task<void> PostgresRateLimits::finish(std::string key, std::string id) {
    co_await connection_.run("finish event",
                             "UPDATE rate_events SET checking = checking - $2::text WHERE key = $1",
                             PostgresConnection::values(key, id));
}

QCoro::Task<void> PostgresRateLimits::forget(std::string key) {
    co_await connection_.run("forget events", "DELETE FROM rate_events WHERE key = $1",
                             PostgresConnection::values(key));
}

} // namespace corvane
