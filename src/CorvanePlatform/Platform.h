#pragma once

#include "CorvanePlatform/Accessibility.h"
#include "CorvanePlatform/AppCatalog.h"
#include "CorvanePlatform/AudioOutput.h"
#include "CorvanePlatform/Clock.h"
#include "CorvanePlatform/ConsoleSession.h"
#include "CorvanePlatform/HostStats.h"
#include "CorvanePlatform/InputEvents.h"
#include "CorvanePlatform/Keychain.h"
#include "CorvanePlatform/LoginItems.h"
#include "CorvanePlatform/MediaPlayers.h"
#include "CorvanePlatform/Power.h"
#include "CorvanePlatform/ProcessRunner.h"
#include "CorvanePlatform/ScreenCapture.h"
#include "CorvanePlatform/UserDefaults.h"
#include "CorvanePlatform/UserPrompts.h"
#include "CorvanePlatform/Workspace.h"

namespace corvane {

// Everything the agent needs from the operating system, bundled and passed down explicitly. A
// backend (the simulated computer, the real desktop) owns the objects; this only refers to them.
struct Platform {
    Workspace& workspace;
    ConsoleSession& console;
    Accessibility& accessibility;
    InputEvents& input;
    AudioOutput& audio;
    MediaPlayers& mediaPlayers;
    Power& power;
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
