#pragma once

#include "core/Clock.h"

#include <qcoro/qcorotask.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// Dashboard sign-in sessions, keyed by the SHA-256 of their cookie (the cookie itself is never
// kept). A session ends at its fixed expiry whatever the browser does; touching it only records
// when it was last used. One relay keeps them in memory, several share them in the database.
// Called on the main thread; the calls that reach a database run elsewhere and are awaited.
// A database failure ends the call with RelayStoreError.
class WebSessions {
public:
    struct Session {
        std::string key;            // digest of the cookie
        std::int64_t accountId = 0; // whose devices
        std::int64_t personId = 0;  // who signed in
        std::string name;
        std::string csrf;
        std::string browser;
        Clock::WallTime startedAt;
        Clock::WallTime lastUsedAt;
        Clock::WallTime expiresAt;
    };

    virtual ~WebSessions() = default;

    virtual QCoro::Task<void> create(Session session) = 0;
    // The live session under `key` as of `now`; absent when unknown, ended or expired.
    virtual QCoro::Task<std::optional<Session>> find(std::string key, Clock::WallTime now) = 0;
    // Records a use; false when the session is no longer live.
    virtual QCoro::Task<bool> touch(std::string key, Clock::WallTime now) = 0;
    virtual QCoro::Task<void> end(std::string key) = 0;
    // Ends every session of `personId` but `keptKey` (empty: all); the keys that ended.
    virtual QCoro::Task<std::vector<std::string>> endAll(std::int64_t personId,
                                                         std::string keptKey) = 0;
    // The live sessions of `personId`, oldest first.
    virtual QCoro::Task<std::vector<Session>> sessionsOf(std::int64_t personId,
                                                         Clock::WallTime now) = 0;
};

} // namespace corvane
