#pragma once

#include "CorvaneMac/MacPorts.h"

namespace corvane {

// Owns one adapter per meaning port, each built on the Mac-level ports. A backend that speaks the
// Mac's terms (the simulated Mac, a macOS backend) keeps one and hands its ports to the Platform.
class MacAdapter {
public:
    explicit MacAdapter(MacPorts ports);
    ~MacAdapter();
    MacAdapter(const MacAdapter&) = delete;
    MacAdapter& operator=(const MacAdapter&) = delete;

private:
    MacPorts ports_;
};

} // namespace corvane
