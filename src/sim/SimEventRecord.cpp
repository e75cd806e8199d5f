#include "sim/SimEventRecord.h"

#include "core/WireTime.h"

namespace corvane {

void SimEventRecord::record(std::string kind, JSON::Object details) {
    details["kind"] = JSON(std::move(kind));
    details["at"] = JSON(WireTime::text(clock_.now()));
    if (events_.size() >= maxEvents) {
        // A demo runs for days: the oldest entries go first.
        events_.erase(events_.begin(), events_.begin() + static_cast<long>(maxEvents / 10));
    }
    events_.emplace_back(std::move(details));
}

} // namespace corvane
