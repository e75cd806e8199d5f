#pragma once

#include "core/JSON.h"
#include "core/WireTime.h"

#include <string_view>

namespace corvane {

// The outer form of every message sent to the relay: the caller's members plus "v" (1), "type",
// "id" (a fresh lower-case UUID) and "ts" (the wire time of `now`). Those four replace caller
// members of the same names, so a payload can never forge the version, type or identity.
JSON envelope(std::string_view type, JSON::Object members, WireTime::Instant now);
// The same, stamped with the system clock's current time.
JSON envelope(std::string_view type, JSON::Object members);

// Members of a "result" message for a command that ran: {command_id, ok: true, data}.
JSON::Object successResult(std::string_view commandId, JSON data);
// Members of a "result" message for a refused or failed command: {command_id, ok: false,
// error_code}. The bare code only; sentences are for local display.
JSON::Object failureResult(std::string_view commandId, std::string_view errorCode);

// The error answer of the local command API: {"error": {"code": code, "message": message}}.
JSON localError(std::string_view code, std::string_view message);

} // namespace corvane
