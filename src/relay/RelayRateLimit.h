#pragma once

#include "core/Clock.h"

#include <QHostAddress>

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <string>

namespace corvane {

// Counts events per key (an account name, an address) over a sliding window: a key is limited
// once `allowed` events fall inside the last `window`. The table stays bounded: past `trackedKeys`
// keys, those whose newest event left the window are forgotten. Main thread only.
class RelayRateLimit {
public:
    static constexpr std::size_t trackedKeys = 10000;

    RelayRateLimit(const Clock& clock, int allowed, std::chrono::milliseconds window);

    // The key for a peer's address: an IPv4 address as it is, an IPv6 address by its /64, which
    // one subscriber usually holds whole (counting single IPv6 addresses counts nothing).
    static std::string addressBlock(const QHostAddress& address);

    bool limited(const std::string& key);
    // Events of `key` inside the window.
    std::size_t count(const std::string& key);
    void note(const std::string& key);
    void forget(const std::string& key) { events_.erase(key); }

private:
    const Clock& clock_;
    std::size_t allowed_;
    std::chrono::milliseconds window_;
    std::map<std::string, std::deque<Clock::MonotonicTime>, std::less<>> events_;
};

} // namespace corvane
