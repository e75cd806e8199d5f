#include "core/CommandGate.h"

#include "core/ContractError.h"

namespace corvane::CommandGate {

void checkDeadline(const JSON& command, WireTime::Instant now) {
    const std::string* text = command.stringMember("expires_at");
    if (text == nullptr) {
        throw ContractError("invalid_deadline");
    }
    const std::optional<WireTime::Instant> expiresAt = WireTime::parse(*text);
    if (!expiresAt) {
        throw ContractError("invalid_deadline");
    }
    // The offsets are applied to `now` (a current clock reading), never to the sender's instant:
    // a deadline near the ends of the clock's range cannot overflow the arithmetic.
    if (*expiresAt < now - expiryGrace) {
        throw ContractError("command_expired");
    }
    if (*expiresAt > now + maxDeadlineAhead) {
        throw ContractError("invalid_deadline");
    }
}

std::optional<JSON> lockedResult(std::string_view action, std::optional<bool> locked) {
    if (!locked) {
        throw ContractError("lock_state_unknown");
    }
    if (!*locked) {
        return std::nullopt;
    }
    if (action == "get_state") {
        return JSON(JSON::Object{{"screen_locked", JSON(true)}});
    }
    if (action == "lock_screen") {
        return JSON(JSON::Object{{"already_locked", JSON(true)}});
    }
    throw ContractError("device_locked");
}

} // namespace corvane::CommandGate
