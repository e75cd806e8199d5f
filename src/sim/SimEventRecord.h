#pragma once

#include "core/Clock.h"
#include "core/JSON.h"

#include <cstddef>
#include <string>
#include <vector>

namespace corvane {

// The record of everything the agent asked the simulated Mac for, oldest first: each entry has
// its "kind", the instant it was made ("at") and the details of the request.
class SimEventRecord {
public:
    explicit SimEventRecord(Clock& clock)
        : clock_(clock) {}

    // The record keeps the latest entries only.
    static constexpr std::size_t maxEvents = 10000;

    void record(std::string kind, JSON::Object details = {});
    const std::vector<JSON>& events() const { return events_; }
    void clear() { events_.clear(); }

private:
    Clock& clock_;
    std::vector<JSON> events_;
};

} // namespace corvane
