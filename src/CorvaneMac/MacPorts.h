#pragma once

#include "CorvaneMac/MacBundles.h"
#include "CorvaneMac/MacConsoleSession.h"
#include "CorvaneMac/MacPower.h"
#include "CorvanePlatform/Accessibility.h"
#include "CorvanePlatform/Clock.h"
#include "CorvanePlatform/InputEvents.h"
#include "CorvanePlatform/Scripting.h"
#include "CorvanePlatform/Workspace.h"

namespace corvane {

// The Mac-level ports: what a macOS backend (or the simulated Mac) offers in the Mac's own terms.
// Only the Mac adapter reads them; the actions see the meaning ports it builds on top.
struct MacPorts {
    Workspace& workspace;
    MacBundles& bundles;
    MacConsoleSession& console;
    Accessibility& accessibility;
    InputEvents& input;
    Scripting& scripting;
    MacPower& power;
    Clock& clock;
};

} // namespace corvane
