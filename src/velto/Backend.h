#pragma once

#include "platform/Platform.h"

#include <chrono>

namespace corvane {

// What the program runs the agent on: the platform ports of one backend, and what has to end
// with the agent.
class Backend {
public:
    virtual ~Backend() = default;

    // The ports; they live as long as the backend.
    virtual Platform platform() = 0;
    // Ends what the agent's commands started (a running Shortcut and the processes it began).
    virtual void endProcesses() = 0;
    // How long tasks waiting inside the backend need to notice the agent is gone.
    virtual std::chrono::milliseconds drainTime() const = 0;
};

} // namespace corvane
