#pragma once

#include "platform/Platform.h"

namespace corvane {

// The same platform with its questions to the person asked through `prompts` (a program's own
// way of asking: the terminal, the window).
inline Platform platformWithPrompts(const Platform& base, UserPrompts& prompts) {
    return Platform{.workspace = base.workspace,
                    .bundles = base.bundles,
                    .sessionLock = base.sessionLock,
                    .accessibility = base.accessibility,
                    .input = base.input,
                    .focusModes = base.focusModes,
                    .audio = base.audio,
                    .mediaPlayers = base.mediaPlayers,
                    .powerSources = base.powerSources,
                    .host = base.host,
                    .appCatalog = base.appCatalog,
                    .screenCapture = base.screenCapture,
                    .keychain = base.keychain,
                    .processes = base.processes,
                    .loginItems = base.loginItems,
                    .defaults = base.defaults,
                    .prompts = prompts,
                    .clock = base.clock,
                    .gaps = base.gaps};
}

} // namespace corvane
