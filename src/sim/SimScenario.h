#pragma once

#include "core/JSON.h"

#include <string>
#include <string_view>

namespace corvane {

// The scenario format of the simulated Mac (docs/SIMULATOR.md): strict checking and completion
// with defaults. Every function either returns a complete, checked document or throws
// SimScenarioError naming the first offending place; it never returns something half-checked.
namespace SimScenario {

// Reads scenario text (JSON) and returns it checked and completed.
JSON parse(std::string_view text);

// Checks and completes a whole scenario document.
JSON normalise(JSON scenario);

// Checks and completes the settings part alone (everything but "apps" and "frontmost"), as the
// control channel changes it.
JSON normaliseSettings(JSON settings);

// The members that belong to the running model rather than to the settings.
bool isModelMember(std::string_view key);

} // namespace SimScenario

} // namespace corvane
