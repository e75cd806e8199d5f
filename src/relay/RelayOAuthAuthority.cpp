#include "relay/RelayOAuthAuthority.h"

#include "core/ContractError.h"
#include "core/Uuid.h"
#include "relay/RelayOAuthError.h"
#include "relay/RelayOAuthRegistration.h"
#include "relay/RelaySecrets.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QRegularExpression>
#include <QUrl>

namespace corvane {

namespace {

const std::string* param(const RelayOAuthAuthority::Params& params, std::string_view name) {
    const auto found = params.find(name);
    return found != params.end() ? &found->second : nullptr;
}

const std::string& required(const RelayOAuthAuthority::Params& params, std::string_view name) {
    const std::string* value = param(params, name);
    if (value == nullptr || value->empty()) {
        throw RelayOAuthError("invalid_request", "missing " + std::string(name));
    }
    return *value;
}

// A PKCE verifier (RFC 7636 section 4.1) or an S256 challenge (43 base64url characters).
bool verifierShaped(const std::string& text) {
    static const QRegularExpression shape(QStringLiteral("^[A-Za-z0-9._~-]{43,128}$"));
    return shape.match(QString::fromStdString(text)).hasMatch();
}

bool challengeShaped(const std::string& text) {
    static const QRegularExpression shape(QStringLiteral("^[A-Za-z0-9_-]{43}$"));
    return shape.match(QString::fromStdString(text)).hasMatch();
}

std::string s256(const std::string& verifier) {
    return QCryptographicHash::hash(QByteArray::fromStdString(verifier), QCryptographicHash::Sha256)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)
        .toStdString();
}

RelayOAuthError invalidGrant(const std::string& why) {
    return RelayOAuthError("invalid_grant", why);
}

} // namespace

RelayOAuthAuthority::RelayOAuthAuthority(OAuthStore& oauth, RelayStore& relay, const Clock& clock)
    : oauth_(oauth)
    , relay_(relay)
    , clock_(clock)
    , lastPurge_(clock.monotonicNow()) {}

OAuthStore::Client RelayOAuthAuthority::registerClient(const JSON& body) {
    OAuthStore::Client client = RelayOAuthRegistration::client(body, clock_.now());
    oauth_.addClient(client);
    return client;
}

RelayOAuthAuthority::Request RelayOAuthAuthority::requester(const Params& params) {
    const std::string& clientId = required(params, "client_id");
    std::optional<OAuthStore::Client> client = oauth_.client(clientId);
    if (!client) {
        throw RelayOAuthError("invalid_request", "unknown client_id");
    }
    Request request;
    if (const std::string* redirect = param(params, "redirect_uri")) {
        if (!RelayOAuthRegistration::matches(client->redirectUris, *redirect)) {
            throw RelayOAuthError("invalid_request", "redirect_uri is not registered");
        }
        request.redirectUri = *redirect;
    } else if (client->redirectUris.size() == 1) {
        request.redirectUri = client->redirectUris.front();
    } else {
        throw RelayOAuthError("invalid_request", "missing redirect_uri");
    }
    request.client = std::move(*client);
    if (const std::string* state = param(params, "state")) {
        request.state = *state;
    }
    return request;
}

void RelayOAuthAuthority::complete(Request& request, const Params& params,
                                   const std::string& resource) {
    const auto refuse = [](const char* error, const char* why) {
        return RelayOAuthError(error, why);
    };
    const std::string* type = param(params, "response_type");
    if (type == nullptr || *type != "code") {
        throw refuse("unsupported_response_type", "response_type must be code");
    }
    const std::string* method = param(params, "code_challenge_method");
    if (method == nullptr || *method != "S256") {
        throw refuse("invalid_request", "code_challenge_method must be S256");
    }
    const std::string* challenge = param(params, "code_challenge");
    if (challenge == nullptr || !challengeShaped(*challenge)) {
        throw refuse("invalid_request", "code_challenge must be an S256 challenge");
    }
    const std::string* asked = param(params, "resource");
    if (asked == nullptr || *asked != resource) {
        throw refuse("invalid_target", "resource must be this relay's MCP endpoint");
    }
    request.challenge = *challenge;
    request.resource = resource;
}

std::string RelayOAuthAuthority::approve(const Request& request, std::int64_t accountId,
                                         const std::string& deviceId) {
    if (!deviceHeld(accountId, deviceId)) {
        throw ContractError("device_not_found");
    }
    const std::string code = RelaySecrets::randomToken();
    oauth_.addCode({RelaySecrets::digest(code), request.client.id, request.redirectUri,
                    request.challenge, request.resource, deviceId, accountId,
                    clock_.now() + codeLifetime});
    return code;
}

std::string RelayOAuthAuthority::redirect(const Request& request, const Params& answer) {
    // Each value fully percent-encoded: a '+' left as it is would read as a space.
    std::string out = request.redirectUri;
    char separator = out.find('?') == std::string::npos ? '?' : '&';
    for (const auto& [name, value] : answer) {
        out += separator;
        out += name + '=' + QUrl::toPercentEncoding(QString::fromStdString(value)).toStdString();
        separator = '&';
    }
    return out;
}

RelayOAuthAuthority::Tokens RelayOAuthAuthority::token(const Params& params) {
    if (clock_.monotonicNow() - lastPurge_ > std::chrono::minutes(10)) {
        purgeNow();
    }
    const std::string& type = required(params, "grant_type");
    if (type == "authorization_code") {
        return exchangeCode(params);
    }
    if (type == "refresh_token") {
        return refresh(params);
    }
    throw RelayOAuthError("unsupported_grant_type", "grant_type " + type + " is not supported");
}

JSON RelayOAuthAuthority::answer(const Tokens& tokens) {
    return JSON(JSON::Object{
        {"access_token", JSON(tokens.access)},
        {"token_type", JSON("Bearer")},
        {"expires_in",
         JSON(static_cast<double>(
             std::chrono::duration_cast<std::chrono::seconds>(accessLifetime).count()))},
        {"refresh_token", JSON(tokens.refresh)},
    });
}

OAuthStore::Client RelayOAuthAuthority::clientOf(const Params& params) {
    std::optional<OAuthStore::Client> client = oauth_.client(required(params, "client_id"));
    if (!client) {
        throw RelayOAuthError("invalid_client", "unknown client_id", 401);
    }
    return std::move(*client);
}

RelayOAuthAuthority::Tokens RelayOAuthAuthority::exchangeCode(const Params& params) {
    const std::string& code = required(params, "code");
    const std::string& verifier = required(params, "code_verifier");
    if (!verifierShaped(verifier)) {
        throw RelayOAuthError("invalid_request", "code_verifier is not a PKCE verifier");
    }
    const OAuthStore::Client client = clientOf(params);
    const std::string codeHash = RelaySecrets::digest(code);
    const std::string grantId = Uuid::make();
    // The code is spent by this attempt whatever follows: a wrong verifier gets no second try.
    const std::optional<OAuthStore::Code> taken = oauth_.takeCode(codeHash, grantId);
    if (!taken) {
        // A code presented twice may have leaked: what it bought ends too.
        if (const std::optional<std::string> used = oauth_.usedCodeGrant(codeHash)) {
            oauth_.revokeGrant(*used);
        }
        throw invalidGrant("the code is unknown or was used");
    }
    if (taken->clientId != client.id) {
        throw invalidGrant("the code was issued to another client");
    }
    if (clock_.now() >= taken->expiresAt) {
        throw invalidGrant("the code expired");
    }
    if (const std::string* redirect = param(params, "redirect_uri");
        redirect != nullptr && *redirect != taken->redirectUri) {
        throw invalidGrant("redirect_uri differs from the authorization request's");
    }
    if (!RelaySecrets::same(s256(verifier), taken->challenge)) {
        throw invalidGrant("code_verifier does not match the code_challenge");
    }
    if (const std::string* resource = param(params, "resource");
        resource != nullptr && *resource != taken->resource) {
        throw RelayOAuthError("invalid_target", "resource differs from the authorization's");
    }
    if (!deviceHeld(taken->accountId, taken->deviceId)) {
        throw invalidGrant("the device is no longer in the account");
    }
    auto [tokens, rows] = mint(grantId);
    oauth_.addGrant({grantId, client.id, client.name, taken->accountId, taken->deviceId,
                     taken->resource, clock_.now(), std::nullopt},
                    rows);
    return tokens;
}

RelayOAuthAuthority::Tokens RelayOAuthAuthority::refresh(const Params& params) {
    const std::string& presented = required(params, "refresh_token");
    const OAuthStore::Client client = clientOf(params);
    const std::string hash = RelaySecrets::digest(presented);
    const auto found = oauth_.token(hash);
    if (!found) {
        // A spent refresh token came back: one of its two holders is not the assistant.
        if (const std::optional<std::string> grant = oauth_.spentRefreshGrant(hash)) {
            oauth_.revokeGrant(*grant);
        }
        throw invalidGrant("the refresh token is unknown, spent or revoked");
    }
    const auto& [token, grant] = *found;
    if (token.kind != OAuthStore::TokenKind::Refresh || clock_.now() >= token.expiresAt) {
        throw invalidGrant("the refresh token is unknown, spent or revoked");
    }
    if (grant.clientId != client.id) {
        throw invalidGrant("the refresh token was issued to another client");
    }
    if (const std::string* resource = param(params, "resource");
        resource != nullptr && *resource != grant.resource) {
        throw RelayOAuthError("invalid_target", "resource differs from the authorization's");
    }
    if (!deviceHeld(grant.accountId, grant.deviceId)) {
        oauth_.revokeGrant(grant.id);
        throw invalidGrant("the device is no longer in the account");
    }
    auto [tokens, rows] = mint(grant.id);
    if (!oauth_.rotate(hash, rows)) {
        throw invalidGrant("the refresh token was spent meanwhile");
    }
    return tokens;
}

std::vector<OAuthStore::Grant> RelayOAuthAuthority::grantsOf(std::int64_t accountId) {
    return oauth_.grantsOf(accountId);
}

void RelayOAuthAuthority::revoke(std::int64_t accountId, const std::string& grantId) {
    for (const OAuthStore::Grant& grant : oauth_.grantsOf(accountId)) {
        if (grant.id == grantId) {
            oauth_.revokeGrant(grantId);
            return;
        }
    }
    throw ContractError("not_found");
}

bool RelayOAuthAuthority::deviceHeld(std::int64_t accountId, const std::string& deviceId) {
    const std::optional<RelayStore::Device> device = relay_.device(deviceId);
    return device && device->accountId == accountId && !device->revoked;
}

std::pair<RelayOAuthAuthority::Tokens, std::vector<OAuthStore::Token>>
RelayOAuthAuthority::mint(const std::string& grantId) {
    Tokens tokens{RelaySecrets::randomToken(), RelaySecrets::randomToken()};
    const OAuthStore::Time now = clock_.now();
    return {tokens,
            {{RelaySecrets::digest(tokens.access), grantId, OAuthStore::TokenKind::Access,
              now + accessLifetime},
             {RelaySecrets::digest(tokens.refresh), grantId, OAuthStore::TokenKind::Refresh,
              now + refreshLifetime}}};
}

void RelayOAuthAuthority::purgeNow() {
    lastPurge_ = clock_.monotonicNow();
    try {
        oauth_.purgeOAuth(clock_.now());
    } catch (const std::exception& error) {
        qWarning("relay: expired assistant tokens not removed: %s", error.what());
    }
}

} // namespace corvane
