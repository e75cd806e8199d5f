#pragma once

#include "core/JSON.h"
#include "relay/RelayStore.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

class Clock;
class ContractValidator;

// The relay's half of pairing. A computer asks for a code (and gets a bootstrap token and its
// future device id), a signed-in person approves the code, and the computer redeems the bootstrap
// token with a device token of its own making, which from then on authenticates its sessions.
//
//   pending --approve--> approved --redeem--> redeemed
//   pending or approved --cancel or expiry--> the computer is told "pairing_expired"
//
// Refusals are ContractErrors whose codes go to the peer: "invalid_request", "pairing_pending",
// "pairing_expired", "pairing_not_found", "rate_limited". Main thread only (the store is not
// shared).
class RelayPairing {
public:
    static constexpr std::chrono::minutes lifetime{10};
    // Codes waiting for approval at once, from one address block and in all: each is a row, and a
    // person pairing one computer needs one (two or three after giving up and starting again).
    static constexpr std::int64_t pendingPerBlock = 5;
    static constexpr std::int64_t pendingInAll = 500;

    RelayPairing(RelayStore& store, const Clock& clock, const ContractValidator& validator);

    // v1/pairing/code: {"device_name", "kind", "agent_version"} → {"bootstrap_token",
    // "expires_at", "device_id", "code"}, for a caller in `addressBlock`
    // (RelayRateLimit::addressBlock). Names with control or direction characters are refused.
    JSON code(const JSON& body, const std::string& addressBlock = {});
    // v1/pairing/redeem with the bootstrap token as bearer: {"device_token"} → {"device_id"}.
    // A second redemption with the same device token answers the same again (its first answer may
    // have been lost on the way); any other device token is refused.
    JSON redeem(const std::string& bootstrap, const JSON& body);
    // v1/pairing/cancel: ends the pairing, and revokes a device created from it, since a computer
    // that still holds the bootstrap token never kept its device token. Unknown tokens are not an
    // error: there is nothing left to cancel.
    void cancel(const std::string& bootstrap);
    // The dashboard's approval of a code as typed (any case, spaces and hyphens ignored) for
    // `accountId`; returns the device id it will have.
    std::string approve(const std::string& typed, std::int64_t accountId);
    // The pending, unexpired pairing of a typed code, for the person to see before approving;
    // throws "pairing_not_found" otherwise.
    RelayStore::Pairing pending(const std::string& typed);
    // Removes expired pairings that were never redeemed.
    void purgeExpired();

    // "ABCD-EFGH" from what a person typed; empty when it cannot be a code.
    static std::string normalizedCode(const std::string& typed);

private:
    RelayStore& store_;
    const Clock& clock_;
    const ContractValidator& validator_;
};

} // namespace corvane
