#pragma once

#include "core/WireTime.h"

#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

// One running application instance as the workspace reports it.
struct RunningApplication {
    enum class ActivationPolicy { Regular, Accessory, Prohibited };

    std::int32_t pid = 0;
    std::optional<std::string> bundleID;
    std::optional<std::string> localizedName;
    // Path of the application bundle, absent for processes without one.
    std::optional<std::string> bundlePath;
    ActivationPolicy activationPolicy = ActivationPolicy::Regular;
    std::optional<WireTime::Instant> launchDate;
    bool active = false;

    friend bool operator==(const RunningApplication&, const RunningApplication&) = default;
};

} // namespace corvane
