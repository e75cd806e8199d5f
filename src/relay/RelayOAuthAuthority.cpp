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

// Rows built outside coroutine bodies: GCC 12 miscompiles some braced lists in them.
OAuthStore::Code codeRow(const RelayOAuthAuthority::Request& request, const std::string& code,
                         std::int64_t accountId, const std::string& deviceId,
                         OAuthStore::Time expiresAt) {
    return {RelaySecrets::digest(code), request.client.id, request.redirectUri, request.challenge,
            request.resource,           deviceId,          accountId,           expiresAt};
}

OAuthStore::Grant grantRow(const std::string& grantId, const OAuthStore::Client& client,
                           const OAuthStore::Code& code, OAuthStore::Time now) {
    return {grantId,       client.id,     client.name, code.accountId,
            code.deviceId, code.resource, now,         std::nullopt};
}

} // namespace

RelayOAuthAuthority::RelayOAuthAuthority(OAuthStore& oauth, RelayStoreThread& relay,
                                         const Clock& clock)
    : oauth_(oauth)
    , relay_(relay)
    , clock_(clock)
    , lastPurge_(clock.monotonicNow()) {}

QCoro::Task<OAuthStore::Client> RelayOAuthAuthority::registerClient(JSON body) {
    OAuthStore::Client client = RelayOAuthRegistration::client(body, clock_.now());
    std::function<void(OAuthStore&)> add = [client](OAuthStore& store) {
        store.addClient(client);
    };
    co_await oauth_.call<void>(std::move(add));
    co_return client;
}

QCoro::Task<RelayOAuthAuthority::Request> RelayOAuthAuthority::requester(Params params) {
    const std::string& clientId = required(params, "client_id");
    std::function<std::optional<OAuthStore::Client>(OAuthStore&)> find =
        [clientId](OAuthStore& store) {
            return store.client(clientId);
        };
    std::optional<OAuthStore::Client> client =
        co_await oauth_.call<std::optional<OAuthStore::Client>>(std::move(find));
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
    co_return request;
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

QCoro::Task<RelayOAuthAuthority::Request> RelayOAuthAuthority::request(Params params,
                                                                       std::string resource) {
    Request found = co_await requester(params);
    complete(found, params, resource);
    co_return found;
}

QCoro::Task<std::string> RelayOAuthAuthority::approve(Request request, std::int64_t accountId,
                                                      std::string deviceId) {
    const bool held = co_await deviceHeld(accountId, deviceId);
    if (!held) {
        throw ContractError("device_not_found");
    }
    const std::string code = RelaySecrets::randomToken();
    std::function<void(OAuthStore&)> add =
        [row = codeRow(request, code, accountId, deviceId, clock_.now() + codeLifetime)](
            OAuthStore& store) {
            store.addCode(row);
        };
    co_await oauth_.call<void>(std::move(add));
    co_return code;
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

QCoro::Task<RelayOAuthAuthority::Tokens> RelayOAuthAuthority::token(Params params) {
    if (clock_.monotonicNow() - lastPurge_ > std::chrono::minutes(10)) {
        co_await purgeNow();
    }
    const std::string& type = required(params, "grant_type");
    if (type == "authorization_code") {
        Tokens tokens = co_await exchangeCode(std::move(params));
        co_return tokens;
    }
    if (type == "refresh_token") {
        Tokens tokens = co_await refresh(std::move(params));
        co_return tokens;
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

QCoro::Task<OAuthStore::Client> RelayOAuthAuthority::clientOf(std::string clientId) {
    std::function<std::optional<OAuthStore::Client>(OAuthStore&)> find =
        [clientId](OAuthStore& store) {
            return store.client(clientId);
        };
    std::optional<OAuthStore::Client> client =
        co_await oauth_.call<std::optional<OAuthStore::Client>>(std::move(find));
    if (!client) {
        throw RelayOAuthError("invalid_client", "unknown client_id", 401);
    }
    co_return std::move(*client);
}

QCoro::Task<RelayOAuthAuthority::Tokens> RelayOAuthAuthority::exchangeCode(Params params) {
    const std::string& code = required(params, "code");
    const std::string& verifier = required(params, "code_verifier");
    if (!verifierShaped(verifier)) {
        throw RelayOAuthError("invalid_request", "code_verifier is not a PKCE verifier");
    }
    const OAuthStore::Client client = co_await clientOf(required(params, "client_id"));
    const std::string codeHash = RelaySecrets::digest(code);
    const std::string grantId = Uuid::make();
    // The code is spent by this attempt whatever follows: a wrong verifier gets no second try.
    // A code presented twice may have leaked: what it bought ends too.
    std::function<std::optional<OAuthStore::Code>(OAuthStore&)> take =
        [codeHash, grantId](OAuthStore& store) {
            std::optional<OAuthStore::Code> taken = store.takeCode(codeHash, grantId);
            if (!taken) {
                if (const std::optional<std::string> used = store.usedCodeGrant(codeHash)) {
                    store.revokeGrant(*used);
                }
            }
            return taken;
        };
    const std::optional<OAuthStore::Code> taken =
        co_await oauth_.call<std::optional<OAuthStore::Code>>(std::move(take));
    if (!taken) {
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
    const bool held = co_await deviceHeld(taken->accountId, taken->deviceId);
    if (!held) {
        throw invalidGrant("the device is no longer in the account");
    }
    auto minted = mint(grantId);
    std::function<void(OAuthStore&)> add = [grant = grantRow(grantId, client, *taken, clock_.now()),
                                            rows = std::move(minted.second)](OAuthStore& store) {
        store.addGrant(grant, rows);
    };
    co_await oauth_.call<void>(std::move(add));
    co_return minted.first;
}

QCoro::Task<RelayOAuthAuthority::Tokens> RelayOAuthAuthority::refresh(Params params) {
    const std::string& presented = required(params, "refresh_token");
    const OAuthStore::Client client = co_await clientOf(required(params, "client_id"));
    const std::string hash = RelaySecrets::digest(presented);
    // A spent refresh token came back: one of its two holders is not the assistant.
    std::function<std::optional<std::pair<OAuthStore::Token, OAuthStore::Grant>>(OAuthStore&)>
        find = [hash](OAuthStore& store) {
            auto found = store.token(hash);
            if (!found) {
                if (const std::optional<std::string> grant = store.spentRefreshGrant(hash)) {
                    store.revokeGrant(*grant);
                }
            }
            return found;
        };
    const auto found =
        co_await oauth_.call<std::optional<std::pair<OAuthStore::Token, OAuthStore::Grant>>>(
            std::move(find));
    if (!found) {
        throw invalidGrant("the refresh token is unknown, spent or revoked");
    }
    const OAuthStore::Token& token = found->first;
    const OAuthStore::Grant& grant = found->second;
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
    const bool held = co_await deviceHeld(grant.accountId, grant.deviceId);
    if (!held) {
        std::function<void(OAuthStore&)> revoke = [id = grant.id](OAuthStore& store) {
            store.revokeGrant(id);
        };
        co_await oauth_.call<void>(std::move(revoke));
        throw invalidGrant("the device is no longer in the account");
    }
    auto minted = mint(grant.id);
    std::function<bool(OAuthStore&)> rotate = [hash,
                                               rows = std::move(minted.second)](OAuthStore& store) {
        return store.rotate(hash, rows);
    };
    const bool rotated = co_await oauth_.call<bool>(std::move(rotate));
    if (!rotated) {
        throw invalidGrant("the refresh token was spent meanwhile");
    }
    co_return minted.first;
}

QCoro::Task<std::vector<OAuthStore::Grant>> RelayOAuthAuthority::grantsOf(std::int64_t accountId) {
    std::function<std::vector<OAuthStore::Grant>(OAuthStore&)> list =
        [accountId](OAuthStore& store) {
            return store.grantsOf(accountId);
        };
    co_return co_await oauth_.call<std::vector<OAuthStore::Grant>>(std::move(list));
}

QCoro::Task<void> RelayOAuthAuthority::revoke(std::int64_t accountId, std::string grantId) {
    // Looked up and ended in one job: the grant must be this account's.
    std::function<bool(OAuthStore&)> end = [accountId, grantId](OAuthStore& store) {
        for (const OAuthStore::Grant& grant : store.grantsOf(accountId)) {
            if (grant.id == grantId) {
                store.revokeGrant(grantId);
                return true;
            }
        }
        return false;
    };
    const bool ended = co_await oauth_.call<bool>(std::move(end));
    if (!ended) {
        throw ContractError("not_found");
    }
}

QCoro::Task<bool> RelayOAuthAuthority::deviceHeld(std::int64_t accountId, std::string deviceId) {
    std::function<std::optional<RelayStore::Device>(RelayStore&)> find =
        [deviceId](RelayStore& store) {
            return store.device(deviceId);
        };
    const std::optional<RelayStore::Device> device =
        co_await relay_.run<std::optional<RelayStore::Device>>(std::move(find));
    co_return device && device->accountId == accountId && !device->revoked;
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

QCoro::Task<void> RelayOAuthAuthority::purgeNow() {
    lastPurge_ = clock_.monotonicNow();
    std::function<void(OAuthStore&)> purge = [before = clock_.now()](OAuthStore& store) {
        store.purgeOAuth(before);
    };
    try {
        co_await oauth_.call<void>(std::move(purge));
    } catch (const std::exception& error) {
        qWarning("relay: expired assistant tokens not removed: %s", error.what());
    }
}

} // namespace corvane
