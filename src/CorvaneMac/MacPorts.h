#pragma once

#include "CorvaneMac/MacAccessibility.h"
#include "CorvaneMac/MacBundles.h"
#include "CorvaneMac/MacConsoleSession.h"
#include "CorvaneMac/MacInputEvents.h"
#include "CorvaneMac/MacPower.h"
#include "CorvaneMac/MacScripting.h"
#include "CorvanePlatform/Clock.h"
#include "CorvanePlatform/Workspace.h"

namespace corvane {

// The Mac-level ports: what a macOS backend (or the simulated Mac) offers in the Mac's own terms.
// Only the Mac adapter reads them; the actions see the meaning ports it builds on top.
struct MacPorts {
    Workspace& workspace;
    MacBundles& bundles;
    MacConsoleSession& console;
    MacAccessibility& accessibility;
    MacInputEvents& input;
    MacScripting& scripting;
    MacPower& power;
    Clock& clock;
};

} // namespace corvane
