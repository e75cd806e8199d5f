#pragma once

#include "core/Clock.h"
#include "core/JSON.h"
#include "relay/EventSink.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace corvane {

// The dashboards' live event streams, each bound to one sign-in session of one account. What
// happens to an account's devices and commands goes to every stream of that account as a
// server-sent event. Streams are bounded per session, per account and in all, so a page that
// reconnects in a loop (or many tabs) cannot hold the relay's connections; a stream ends with its
// session (signed out, expired), and each gets a comment line every `keepAlivePeriod` so that
// proxies keep it open and a browser that stopped reading is found out by its full queue. Main
// thread only.
class DashboardEvents {
public:
    static constexpr std::size_t perSession = 4;
    static constexpr std::size_t perAccount = 16;
    static constexpr std::size_t inAll = 1000;
    static constexpr std::chrono::seconds keepAlivePeriod{15};

    explicit DashboardEvents(const Clock& clock)
        : clock_(clock) {}

    // Whether a stream of this session would stay within the bounds.
    bool canOpen(std::int64_t accountId, const std::string& sessionKey);
    // Takes `sink` as a stream of `accountId`'s session `sessionKey` (the digest of its cookie)
    // valid until `expiresAt`. False (the sink closed) past a bound.
    bool open(std::unique_ptr<EventSink> sink, std::int64_t accountId, std::string sessionKey,
              Clock::MonotonicTime expiresAt);
    // Sends the event `type` with `data` to each open stream of `accountId`.
    void publish(std::int64_t accountId, std::string_view type, const JSON& data);
    // Ends the streams of one session (signed out).
    void endSession(const std::string& sessionKey);
    // Keep-alives, expired sessions, and forgetting streams that ended; about once a second.
    void tick();
    // Ends every stream (the relay stops).
    void endAll();
    std::size_t openCount();

    // One server-sent event: a type line and the JSON on one data line.
    static std::string event(std::string_view type, const JSON& data);

private:
    struct Stream {
        std::unique_ptr<EventSink> sink;
        std::int64_t accountId = 0;
        std::string sessionKey;
        Clock::MonotonicTime expiresAt;
    };
    void forgetEnded();

    const Clock& clock_;
    std::uint64_t nextId_ = 1;
    std::map<std::uint64_t, Stream> streams_;
    Clock::MonotonicTime nextKeepAlive_ = Clock::MonotonicTime::min();
};

} // namespace corvane
