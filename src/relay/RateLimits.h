#pragma once

#include "core/Clock.h"

#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace corvane {

// Events counted per key (an address, an account name) over a sliding window; callers prefix
// their keys so that limits of different kinds never share one. A key is limited while `allowed`
// events lie inside the last `window`. One relay counts in memory, several count together in the
// database (each event once, whichever relay saw it). Main thread; database calls are awaited
// and fail with RelayStoreError.
class RateLimits {
public:
    struct Rule {
        int allowed = 1;
        std::chrono::milliseconds window{0};
    };
    struct Answer {
        bool allowed = true;
        // When limited: how long until the oldest counted event leaves the window.
        std::chrono::milliseconds retryAfter{0};
        std::size_t count = 0; // events inside the window (not those under way)
    };

    virtual ~RateLimits() = default;

    // Whether one more event would be allowed, counting nothing.
    virtual QCoro::Task<Answer> check(std::string key, Rule rule, Clock::WallTime now) = 0;
    // Counts an event whatever the answer (a failure that happened); the answer after it.
    virtual QCoro::Task<Answer> note(std::string key, Rule rule, Clock::WallTime now) = 0;
    // Counts an event only when it is allowed, in one step, so that two relays racing for the
    // last allowed event never both get it.
    virtual QCoro::Task<Answer> take(std::string key, Rule rule, Clock::WallTime now) = 0;
    virtual QCoro::Task<void> forget(std::string key) = 0;

    // Starts an event whose outcome is not known yet (a sign-in being checked), named `id`: until
    // finish(key, id) or `until`, whichever comes first, it counts as one of the key's events, so
    // that many at once cannot all pass the limit while none has failed yet, and a relay that dies
    // mid-check leaves nothing that never clears. Started, in one step, only when the events
    // inside the window and those under way leave room; the answer says whether it was, and when
    // refused only by events under way, retryAfter is checkRetry.
    virtual QCoro::Task<Answer> start(std::string key, std::string id, Rule rule,
                                      Clock::WallTime now, Clock::WallTime until) = 0;
    virtual QCoro::Task<void> finish(std::string key, std::string id) = 0;

    static constexpr std::chrono::milliseconds checkRetry{1000};
};

} // namespace corvane
