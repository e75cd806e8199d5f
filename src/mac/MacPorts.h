#pragma once

#include "core/Clock.h"
#include "mac/MacAccessibility.h"
#include "mac/MacBundles.h"
#include "mac/MacConsoleSession.h"
#include "mac/MacInputEvents.h"
#include "mac/MacPower.h"
#include "mac/MacScripting.h"
#include "platform/Workspace.h"

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
