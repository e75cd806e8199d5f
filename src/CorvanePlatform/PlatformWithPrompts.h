#pragma once

#include "CorvanePlatform/Platform.h"

namespace corvane {

// The same platform with its questions to the person asked through `prompts` (a program's own
// way of asking: the terminal, the window).
inline Platform platformWithPrompts(const Platform& base, UserPrompts& prompts) {
    return Platform{.workspace = base.workspace,
                    .console = base.console,
                    .accessibility = base.accessibility,
                    .input = base.input,
                    .audio = base.audio,
                    .mediaPlayers = base.mediaPlayers,
                    .power = base.power,
                    .host = base.host,
                    .appCatalog = base.appCatalog,
                    .screenCapture = base.screenCapture,
                    .keychain = base.keychain,
                    .processes = base.processes,
                    .loginItems = base.loginItems,
                    .defaults = base.defaults,
                    .prompts = prompts,
                    .clock = base.clock};
}

} // namespace corvane
