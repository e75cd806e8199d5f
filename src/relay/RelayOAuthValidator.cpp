#include "relay/RelayOAuthValidator.h"

#include "core/JSON.h"
#include "relay/RelaySecrets.h"

namespace corvane {

namespace {

// How often "last used" is written for one grant: one write per call would cost more than the
// call.
constexpr std::chrono::minutes usePrecision{1};

} // namespace

namespace {

RelayHttpResponse refusalOf(const QByteArray& authorization, QByteArray challenge,
                            const std::string& why) {
    RelayHttpResponse refusal;
    refusal.status = 401;
    refusal.headers.emplace_back(QByteArrayLiteral("WWW-Authenticate"), challenge);
    JSON::Object body{
        {"error", JSON(authorization.isEmpty() ? "invalid_request" : "invalid_token")},
        {"error_description", JSON(why)}};
    refusal.body = QByteArray::fromStdString(JSON(std::move(body)).data());
    return refusal;
}

RelayOAuthValidator::Access accessOf(const OAuthStore::Grant& grant) {
    return {grant.accountId, grant.deviceId, grant.clientName, grant.id};
}

} // namespace

RelayOAuthValidator::RelayOAuthValidator(OAuthStore& oauth, RelayStoreThread& relay,
                                         const Clock& clock)
    : oauth_(oauth)
    , relay_(relay)
    , clock_(clock) {}

QCoro::Task<RelayOAuthValidator::Checked>
RelayOAuthValidator::check(QByteArray authorization, std::string resource, std::string metadataUrl,
                           std::optional<std::string> deviceId) {
    QByteArray challenge =
        "Bearer resource_metadata=\"" + QByteArray::fromStdString(metadataUrl) + '"';
    std::string why = "no bearer token";
    // The scheme's name is case-insensitive (RFC 7235 section 2.1).
    if (authorization.size() > 7 && authorization.left(7).toLower() == "bearer ") {
        std::string bearer = authorization.mid(7).trimmed().toStdString();
        auto found = co_await access(std::move(bearer), std::move(resource), std::move(deviceId));
        if (found.first) {
            Checked checked;
            checked.access = std::move(found.first);
            co_return checked;
        }
        why = std::move(found.second);
        challenge += ", error=\"invalid_token\", error_description=\"" +
                     QByteArray::fromStdString(why) + '"';
    }
    Checked checked;
    checked.refusal = refusalOf(authorization, challenge, why);
    co_return checked;
}

QCoro::Task<std::pair<std::optional<RelayOAuthValidator::Access>, std::string>>
RelayOAuthValidator::access(std::string bearer, std::string resource,
                            std::optional<std::string> deviceId) {
    using Refused = std::pair<std::optional<Access>, std::string>;
    std::function<std::optional<std::pair<OAuthStore::Token, OAuthStore::Grant>>(OAuthStore&)>
        find = [hash = RelaySecrets::digest(bearer)](OAuthStore& store) {
            return store.token(hash);
        };
    const auto found =
        co_await oauth_.call<std::optional<std::pair<OAuthStore::Token, OAuthStore::Grant>>>(
            std::move(find));
    if (!found || found->first.kind != OAuthStore::TokenKind::Access) {
        co_return Refused(std::nullopt, "the token is unknown or revoked");
    }
    const OAuthStore::Token& token = found->first;
    const OAuthStore::Grant& grant = found->second;
    if (clock_.now() >= token.expiresAt) {
        co_return Refused(std::nullopt, "the token expired");
    }
    if (grant.resource != resource) {
        co_return Refused(std::nullopt, "the token is for another resource");
    }
    if (deviceId && *deviceId != grant.deviceId) {
        co_return Refused(std::nullopt, "the token is for another device");
    }
    std::function<std::optional<RelayStore::Device>(RelayStore&)> device =
        [id = grant.deviceId](RelayStore& store) {
            return store.device(id);
        };
    const std::optional<RelayStore::Device> held =
        co_await relay_.run<std::optional<RelayStore::Device>>(std::move(device));
    if (!held || held->revoked || held->accountId != grant.accountId) {
        co_return Refused(std::nullopt, "the device was removed");
    }
    const OAuthStore::Time now = clock_.now();
    if (!grant.lastUsedAt || now - *grant.lastUsedAt >= usePrecision) {
        std::function<void(OAuthStore&)> touch = [id = grant.id, now](OAuthStore& store) {
            store.touchGrant(id, now);
        };
        co_await oauth_.call<void>(std::move(touch));
    }
    co_return Refused(accessOf(grant), std::string());
}

} // namespace corvane
