#pragma once

#include <string>
#include <vector>

namespace corvane {

// What a backend cannot offer on this computer right now: actions and features of the capability
// report it leaves out, each with the reason a person reads. Main thread only.
class ServiceGaps {
public:
    virtual ~ServiceGaps() = default;

    struct Gap {
        std::string name;   // an action or feature name of the capability report
        std::string reason; // "no sound server answers"
        friend bool operator==(const Gap&, const Gap&) = default;
    };
    virtual std::vector<Gap> gaps() const = 0;
};

} // namespace corvane
