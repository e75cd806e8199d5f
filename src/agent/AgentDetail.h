#pragma once

// Helpers shared by the Agent and its parts; not for other code.

#include "core/JSON.h"

#include <exception>
#include <string>
#include <string_view>

namespace corvane::agent_detail {

inline constexpr std::string_view storageFailure = "connection_or_storage_failed";

// The code a caller sees for whatever was thrown: a ContractError's code, otherwise
// "connection_or_storage_failed".
std::string codeOf(std::exception_ptr error);

// What stands behind a code: the file, the call and the system's reason of a storage failure, or
// the damaged file behind a contract code; empty when the code says it all.
std::string causeOf(std::exception_ptr error);

JSON emptyObject();

// {"action": action, "params": params}: the body of a local command.
JSON requestBody(const std::string& action, JSON params);

} // namespace corvane::agent_detail
