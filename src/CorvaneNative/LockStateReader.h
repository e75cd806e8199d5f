#pragma once

#include "CorvaneNative/ScreenState.h"
#include "CorvanePlatform/ConsoleSession.h"
#include "CorvanePlatform/PlatformValue.h"

#include <cstdint>
#include <optional>

namespace corvane {

// The conservative lock-state verdict: Unlocked or Locked only when the console records and the
// current session agree completely about the agent's user.
namespace LockStateReader {

// Reads the console session afresh and evaluates it. Never fails: Unknown when anything is
// missing.
ScreenState read(const ConsoleSession& console);

// The pure decision over hand-made or platform dictionaries.
ScreenState evaluate(const std::optional<ConsoleSession::RootProperties>& root,
                     const std::optional<PlatformValue>& session, std::uint32_t uid);

// A genuine boolean only: the numbers 0 and 1, text and absence are no boolean.
std::optional<bool> explicitBoolean(const PlatformValue* value);

} // namespace LockStateReader

} // namespace corvane
