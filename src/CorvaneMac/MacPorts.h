#pragma once

#include "CorvaneMac/MacScripting.h"
#include "CorvanePlatform/Accessibility.h"
#include "CorvanePlatform/Clock.h"
#include "CorvanePlatform/ConsoleSession.h"
#include "CorvanePlatform/InputEvents.h"
#include "CorvanePlatform/Power.h"
#include "CorvanePlatform/Workspace.h"

namespace corvane {

// The Mac-level ports: what a macOS backend (or the simulated Mac) offers in the Mac's own terms.
// Only the Mac adapter reads them; the actions see the meaning ports it builds on top.
struct MacPorts {
    Workspace& workspace;
    ConsoleSession& console;
    Accessibility& accessibility;
    InputEvents& input;
    MacScripting& scripting;
    Power& power;
    Clock& clock;
};

} // namespace corvane
