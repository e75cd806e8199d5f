#pragma once

#include "core/JSON.h"
#include "platform/Platform.h"

#include <optional>
#include <string>
#include <vector>

namespace corvane {

// The capability report over the running agent's own control socket, for `velto mcp`: the tools it
// lists are the actions this agent offers (a Linux desktop without a service leaves some out).
namespace CapabilityQuery {

// {"cmd": "capabilities"}
JSON request();
bool matches(const JSON& command);
// {"ok": true, "report": the report the relay would get now}.
JSON answer(Platform& platform, bool desktopActive);
// The report's actions from an answer; absent when the answer holds none (an older agent).
std::optional<std::vector<std::string>> actions(const JSON& answer);

} // namespace CapabilityQuery

} // namespace corvane
