#pragma once

#include "CorvaneCore/JSON.h"
#include "CorvanePlatform/PlatformValue.h"
#include "CorvanePlatform/Scripting.h"

#include <string_view>

namespace corvane {

// The "audio" member of the state report: {"volume", "muted"} of the output device as the
// volume script reports it, or null when the script fails or answers unexpectedly.
namespace AudioStatus {

inline constexpr std::string_view script = "set settings to get volume settings\n"
                                           "return {output volume of settings, output muted of "
                                           "settings}";

JSON read(Scripting& scripting);

// The rule over the script's result list.
JSON fromResult(const Scripting::Result& result);

} // namespace AudioStatus

} // namespace corvane
