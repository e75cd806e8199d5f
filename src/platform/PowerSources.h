#pragma once

#include <qcoro/qcorotask.h>

#include <optional>

namespace corvane {

// The computer's battery and the request to sleep. Awaitable: a backend may ask another process
// (a power daemon over the system bus).
class PowerSources {
public:
    virtual ~PowerSources() = default;

    struct Battery {
        int percent = 0; // 0..100
        bool charging = false;
        std::optional<bool> pluggedIn; // absent when the source does not say
        friend bool operator==(const Battery&, const Battery&) = default;
    };
    // The first battery that reports its charge; absent on a computer without one. Throws when
    // the power information cannot be read.
    virtual QCoro::Task<std::optional<Battery>> battery() = 0;

    enum class SleepOutcome { Accepted, Unavailable, Denied };
    virtual QCoro::Task<SleepOutcome> requestSleep() = 0;
};

} // namespace corvane
