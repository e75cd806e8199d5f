#pragma once

#include "CorvanePlatform/Accessibility.h"
#include "CorvanePlatform/AppCatalog.h"
#include "CorvanePlatform/ApplicationBundles.h"
#include "CorvanePlatform/AudioOutput.h"
#include "CorvanePlatform/Clock.h"
#include "CorvanePlatform/FocusModes.h"
#include "CorvanePlatform/HostStats.h"
#include "CorvanePlatform/Input.h"
#include "CorvanePlatform/Keychain.h"
#include "CorvanePlatform/LoginItems.h"
#include "CorvanePlatform/MediaPlayers.h"
#include "CorvanePlatform/PowerSources.h"
#include "CorvanePlatform/ProcessRunner.h"
#include "CorvanePlatform/ScreenCapture.h"
#include "CorvanePlatform/SessionLock.h"
#include "CorvanePlatform/UserDefaults.h"
#include "CorvanePlatform/UserPrompts.h"
#include "CorvanePlatform/Workspace.h"

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
};

} // namespace corvane
