#include "relay/RelayPairing.h"

#include "core/Clock.h"
#include "core/ContractError.h"
#include "core/ContractValidator.h"
#include "core/Uuid.h"
#include "core/WireTime.h"
#include "relay/RelaySecrets.h"
#include "relay/RelayStoreError.h"
#include "relay/RelayText.h"

#include <QRandomGenerator>

#include <cctype>

namespace corvane {

namespace {

// No 0/O, 1/I/L: a code is read off one screen and typed on another.
constexpr std::string_view codeAlphabet = "ABCDEFGHJKMNPQRSTUVWXYZ23456789";
constexpr std::size_t codeLetters = 8;
constexpr std::size_t longestDeviceName = 200;

std::string randomCode() {
    std::string code;
    for (std::size_t i = 0; i < codeLetters; ++i) {
        if (i == codeLetters / 2) {
            code += '-';
        }
        code += codeAlphabet[QRandomGenerator::system()->bounded(
            static_cast<quint32>(codeAlphabet.size()))];
    }
    return code;
}

// A visible-ASCII token of sane length, as the contract's Token model has it.
bool plausibleToken(const std::string& token) {
    if (token.empty() || token.size() > 4096) {
        return false;
    }
    for (const char c : token) {
        if (c < '!' || c > '~') {
            return false;
        }
    }
    return true;
}

const std::string& requiredString(const JSON& body, std::string_view name, std::size_t longest) {
    const std::string* value = body.stringMember(name);
    if (value == nullptr || value->empty() || value->size() > longest) {
        throw ContractError("invalid_request");
    }
    return *value;
}

} // namespace

RelayPairing::RelayPairing(RelayStore& store, const Clock& clock,
                           const ContractValidator& validator)
    : store_(store)
    , clock_(clock)
    , validator_(validator) {}

std::string RelayPairing::normalizedCode(const std::string& typed) {
    std::string letters;
    for (const char c : typed) {
        if (c == '-' || c == ' ') {
            continue;
        }
        const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (codeAlphabet.find(upper) == std::string_view::npos || letters.size() == codeLetters) {
            return {};
        }
        letters += upper;
    }
    if (letters.size() != codeLetters) {
        return {};
    }
    return letters.substr(0, codeLetters / 2) + '-' + letters.substr(codeLetters / 2);
}

JSON RelayPairing::code(const JSON& body, const std::string& addressBlock) {
    const std::string& name = requiredString(body, "device_name", longestDeviceName);
    const std::string* kind = body.stringMember("kind");
    if (kind == nullptr || *kind != "mac") {
        throw ContractError("invalid_request");
    }
    const std::string& agentVersion = requiredString(body, "agent_version", 64);
    // Both are shown on the approval card.
    if (!RelayText::plainName(name) || !RelayText::plainName(agentVersion)) {
        throw ContractError("invalid_request");
    }

    const Clock::WallTime now = clock_.now();
    store_.purgePairings(now);
    if (store_.pendingPairingsFrom(addressBlock, now) >= pendingPerBlock ||
        store_.pendingPairings(now) >= pendingInAll) {
        throw ContractError("rate_limited");
    }
    const std::string bootstrap = RelaySecrets::randomToken();
    RelayStore::Pairing pairing;
    pairing.deviceId = Uuid::make();
    pairing.bootstrapHash = RelaySecrets::digest(bootstrap);
    pairing.deviceName = name;
    pairing.expiresAt = now + lifetime;
    pairing.agentVersion = agentVersion;
    pairing.requestedAt = now;
    pairing.addressBlock = addressBlock;
    // A clash with a live code is rare; a few fresh draws settle it. The insert itself checks,
    // so a relay sharing the database cannot draw the same code in between.
    for (int attempt = 0;; ++attempt) {
        pairing.code = randomCode();
        if (store_.addPairing(pairing)) {
            break;
        }
        if (attempt == 8) {
            throw RelayStoreError("relay database: no free pairing code");
        }
    }

    JSON reply(JSON::Object{{"bootstrap_token", JSON(bootstrap)},
                            {"expires_at", JSON(WireTime::text(pairing.expiresAt))},
                            {"device_id", JSON(pairing.deviceId)},
                            {"code", JSON(pairing.code)}});
    validator_.validate("PairingCodeResponse", reply);
    return reply;
}

JSON RelayPairing::redeem(const std::string& bootstrap, const JSON& body) {
    const std::string* token = body.stringMember("device_token");
    if (token == nullptr || !plausibleToken(*token)) {
        throw ContractError("invalid_request");
    }
    const std::string bootstrapHash = RelaySecrets::digest(bootstrap);
    const std::optional<RelayStore::Pairing> pairing = store_.pairingByBootstrap(bootstrapHash);
    if (!pairing) {
        throw ContractError("pairing_expired");
    }
    const Clock::WallTime now = clock_.now();
    const std::string tokenHash = RelaySecrets::digest(*token);
    switch (pairing->state) {
    case RelayStore::PairingState::Cancelled:
        throw ContractError("pairing_expired");
    case RelayStore::PairingState::Redeemed: {
        const std::optional<RelayStore::Device> device = store_.device(pairing->deviceId);
        if (!device || device->revoked || !RelaySecrets::same(device->tokenHash, tokenHash)) {
            throw ContractError("pairing_expired");
        }
        break;
    }
    case RelayStore::PairingState::Pending:
        if (now >= pairing->expiresAt) {
            throw ContractError("pairing_expired");
        }
        throw ContractError("pairing_pending");
    case RelayStore::PairingState::Approved:
        // The store re-checks state and expiry in the same statement that moves it on.
        if (!store_.redeemPairing(bootstrapHash, tokenHash, now)) {
            throw ContractError("pairing_expired");
        }
        break;
    }
    JSON reply(JSON::Object{{"device_id", JSON(pairing->deviceId)}});
    validator_.validate("PairingRedeemResponse", reply);
    return reply;
}

void RelayPairing::cancel(const std::string& bootstrap) {
    const std::string bootstrapHash = RelaySecrets::digest(bootstrap);
    const std::optional<RelayStore::Pairing> pairing = store_.pairingByBootstrap(bootstrapHash);
    if (!pairing) {
        return;
    }
    if (pairing->state == RelayStore::PairingState::Redeemed) {
        store_.revokeDevice(pairing->deviceId);
        return;
    }
    store_.cancelPairing(bootstrapHash);
}

std::string RelayPairing::approve(const std::string& typed, std::int64_t accountId) {
    const std::string code = normalizedCode(typed);
    if (code.empty()) {
        throw ContractError("pairing_not_found");
    }
    const std::optional<RelayStore::Pairing> pairing = store_.pairingByCode(code);
    if (!pairing) {
        throw ContractError("pairing_not_found");
    }
    if (!store_.approvePairing(code, accountId, clock_.now())) {
        throw ContractError("pairing_expired");
    }
    return pairing->deviceId;
}

RelayStore::Pairing RelayPairing::pending(const std::string& typed) {
    const std::string code = normalizedCode(typed);
    std::optional<RelayStore::Pairing> pairing =
        code.empty() ? std::nullopt : store_.pairingByCode(code);
    if (!pairing || pairing->state != RelayStore::PairingState::Pending ||
        clock_.now() >= pairing->expiresAt) {
        throw ContractError("pairing_not_found");
    }
    return std::move(*pairing);
}

void RelayPairing::purgeExpired() {
    store_.purgePairings(clock_.now());
}

} // namespace corvane
