#pragma once

#include "core/Clock.h"
#include "platform/Accessibility.h"
#include "platform/AppCatalog.h"
#include "platform/ApplicationBundles.h"
#include "platform/AudioOutput.h"
#include "platform/FocusModes.h"
#include "platform/HostStats.h"
#include "platform/Input.h"
#include "platform/Keychain.h"
#include "platform/LoginItems.h"
#include "platform/MediaPlayers.h"
#include "platform/PowerSources.h"
#include "platform/ProcessRunner.h"
#include "platform/ScreenCapture.h"
#include "platform/ServiceGaps.h"
#include "platform/SessionLock.h"
#include "platform/UserDefaults.h"
#include "platform/UserPrompts.h"
#include "platform/Workspace.h"

namespace corvane {

// Everything the agent needs from the operating system, bundled and passed down explicitly. A
// backend (the simulated computer, the real desktop) owns the objects; this only refers to them.
struct Platform {
    Workspace& workspace;
    ApplicationBundles& bundles;
    SessionLock& sessionLock;
    Accessibility& accessibility;
    Input& input;
    FocusModes& focusModes;
    AudioOutput& audio;
    MediaPlayers& mediaPlayers;
    PowerSources& powerSources;
    HostStats& host;
    AppCatalog& appCatalog;
    ScreenCapture& screenCapture;
    Keychain& keychain;
    ProcessRunner& processes;
    LoginItems& loginItems;
    UserDefaults& defaults;
    UserPrompts& prompts;
    Clock& clock;
    // What the backend cannot offer here; null when it offers everything.
    const ServiceGaps* gaps = nullptr;
};

} // namespace corvane
