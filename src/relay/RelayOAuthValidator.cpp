#include "relay/RelayOAuthValidator.h"

#include "core/JSON.h"
#include "relay/RelaySecrets.h"

namespace corvane {

namespace {

// How often "last used" is written for one grant: one write per call would cost more than the
// call.
constexpr std::chrono::minutes usePrecision{1};

} // namespace

RelayOAuthValidator::RelayOAuthValidator(OAuthStore& oauth, RelayStore& relay, const Clock& clock)
    : oauth_(oauth)
    , relay_(relay)
    , clock_(clock) {}

std::optional<RelayOAuthValidator::Access>
RelayOAuthValidator::check(const RelayHttpRequest& request, const std::string& resource,
                           const std::string& metadataUrl, RelayHttpResponse& refusal,
                           const std::string* deviceId) {
    const QByteArray header = request.header("authorization");
    QByteArray challenge =
        "Bearer resource_metadata=\"" + QByteArray::fromStdString(metadataUrl) + '"';
    std::string why = "no bearer token";
    // The scheme's name is case-insensitive (RFC 7235 section 2.1).
    if (header.size() > 7 && header.left(7).toLower() == "bearer ") {
        const std::string bearer = header.mid(7).trimmed().toStdString();
        if (std::optional<Access> found = access(bearer, resource, deviceId, why)) {
            return found;
        }
        challenge += ", error=\"invalid_token\", error_description=\"" +
                     QByteArray::fromStdString(why) + '"';
    }
    refusal = RelayHttpResponse();
    refusal.status = 401;
    refusal.headers.emplace_back(QByteArrayLiteral("WWW-Authenticate"), challenge);
    JSON::Object body{{"error", JSON(header.isEmpty() ? "invalid_request" : "invalid_token")},
                      {"error_description", JSON(why)}};
    refusal.body = QByteArray::fromStdString(JSON(std::move(body)).data());
    return std::nullopt;
}

std::optional<RelayOAuthValidator::Access> RelayOAuthValidator::access(const std::string& bearer,
                                                                       const std::string& resource,
                                                                       const std::string* deviceId,
                                                                       std::string& why) {
    const auto found = oauth_.token(RelaySecrets::digest(bearer));
    if (!found || found->first.kind != OAuthStore::TokenKind::Access) {
        why = "the token is unknown or revoked";
        return std::nullopt;
    }
    const auto& [token, grant] = *found;
    const OAuthStore::Time now = clock_.now();
    if (now >= token.expiresAt) {
        why = "the token expired";
        return std::nullopt;
    }
    if (grant.resource != resource) {
        why = "the token is for another resource";
        return std::nullopt;
    }
    if (deviceId != nullptr && *deviceId != grant.deviceId) {
        why = "the token is for another device";
        return std::nullopt;
    }
    const std::optional<RelayStore::Device> device = relay_.device(grant.deviceId);
    if (!device || device->revoked || device->accountId != grant.accountId) {
        why = "the device was removed";
        return std::nullopt;
    }
    if (!grant.lastUsedAt || now - *grant.lastUsedAt >= usePrecision) {
        oauth_.touchGrant(grant.id, now);
    }
    return Access{grant.accountId, grant.deviceId, grant.clientName, grant.id};
}

} // namespace corvane
