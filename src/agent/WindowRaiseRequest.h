#pragma once

#include "core/JSON.h"

namespace corvane {

// The request a second launch of the window program sends over the running agent's control
// socket: show the window and bring it forward. An agent without a window (the headless one)
// refuses it as an unknown command.
class WindowRaiseRequest {
public:
    static constexpr const char* command = "show_window";

    // {"cmd": "show_window"}.
    static JSON request();
    static bool matches(const JSON& command);
};

} // namespace corvane
