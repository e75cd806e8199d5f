#pragma once

#include "CorvanePlatform/Platform.h"

namespace corvane {

// The same platform with its questions to the person asked through `prompts` (a program's own
// way of asking: the terminal, the window).
inline Platform platformWithPrompts(const Platform& base, UserPrompts& prompts) {
    return Platform{base.workspace,     base.console,  base.accessibility, base.input,
                    base.scripting,     base.power,    base.host,          base.appCatalog,
                    base.screenCapture, base.keychain, base.processes,     base.loginItems,
                    base.defaults,      prompts,       base.clock};
}

} // namespace corvane
