#include "relay/RelayOAuthHttp.h"

#include "core/ContractError.h"
#include "core/WireTime.h"
#include "relay/RelayOAuthError.h"
#include "relay/RelayOAuthRegistration.h"
#include "relay/RelaySecrets.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QUrl>

namespace corvane {

namespace {

const QByteArray sessionCookie = QByteArrayLiteral("__Host-velto_session");
const QLatin1String protectedResource("/.well-known/oauth-protected-resource");
const QLatin1String authorizationServer("/.well-known/oauth-authorization-server");

RelayHttpResponse json(const JSON& body, int status = 200) {
    RelayHttpResponse response;
    response.status = status;
    response.body = QByteArray::fromStdString(body.data());
    return response;
}

// Calls any site's assistant may make from a browser: no cookie is read, so any origin may.
RelayHttpResponse open(RelayHttpResponse response) {
    response.headers.emplace_back(QByteArrayLiteral("Access-Control-Allow-Origin"),
                                  QByteArrayLiteral("*"));
    return response;
}

RelayHttpResponse oauthRefusal(const RelayOAuthError& error) {
    return open(json(JSON(JSON::Object{{"error", JSON(error.error())},
                                       {"error_description", JSON(std::string(error.what()))}}),
                     error.status()));
}

// The origin the request was addressed to; a Host that is not a bare host and port is refused.
std::string originOf(const RelayHttpRequest& request) {
    const QByteArray host = request.header("host");
    const QUrl url(QStringLiteral("https://") + QString::fromLatin1(host), QUrl::StrictMode);
    if (host.isEmpty() || !url.isValid() || url.host().isEmpty() || !url.path().isEmpty() ||
        !url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment()) {
        throw ContractError("invalid_request");
    }
    return url.toString().toStdString();
}

// application/x-www-form-urlencoded, as OAuth sends both its query strings and its token
// requests. A parameter given twice, or text that is not UTF-8, is refused (RFC 6749 section 3.1).
RelayOAuthAuthority::Params form(const QByteArray& text) {
    RelayOAuthAuthority::Params params;
    for (const QByteArray& pair : text.split('&')) {
        if (pair.isEmpty()) {
            continue;
        }
        const qsizetype equals = pair.indexOf('=');
        const auto decode = [](QByteArray part) {
            const QByteArray bytes = QByteArray::fromPercentEncoding(part.replace('+', ' '));
            QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            const QString decoded = utf8(bytes);
            if (utf8.hasError()) {
                throw RelayOAuthError("invalid_request", "parameters must be UTF-8");
            }
            return decoded.toStdString();
        };
        std::string name = decode(equals < 0 ? pair : pair.left(equals));
        std::string value = equals < 0 ? std::string() : decode(pair.mid(equals + 1));
        if (!params.emplace(name, std::move(value)).second) {
            throw RelayOAuthError("invalid_request", name + " is given twice");
        }
    }
    return params;
}

JSON strings(std::initializer_list<const char*> items) {
    JSON::Array out;
    for (const char* item : items) {
        out.emplace_back(item);
    }
    return JSON(std::move(out));
}

std::string cookieOf(const RelayHttpRequest& request) {
    for (const QByteArray& part : request.header("cookie").split(';')) {
        const QByteArray pair = part.trimmed();
        if (pair.startsWith(sessionCookie + '=')) {
            return pair.mid(sessionCookie.size() + 1).toStdString();
        }
    }
    return {};
}

std::string resourceOf(const std::string& origin) {
    return origin + "/mcp";
}

std::string metadataOf(const std::string& origin) {
    return origin + std::string(protectedResource.data(), protectedResource.size()) + "/mcp";
}

} // namespace

RelayOAuthHttp::RelayOAuthHttp(OAuthStore& oauth, RelayStore& relay, RelayAccounts& accounts,
                               const Clock& clock, QDir dashboard)
    : relay_(relay)
    , accounts_(accounts)
    , authority_(oauth, relay, clock)
    , validator_(oauth, relay, clock)
    , tokenCalls_(clock, tokenCallsPerMinute, std::chrono::minutes(1))
    , registrations_(clock, registrationsPerHour, std::chrono::hours(1))
    , dashboard_(std::move(dashboard)) {}

bool RelayOAuthHttp::handles(const QString& path) {
    return path.startsWith(QLatin1String("/.well-known/oauth-")) ||
           path.startsWith(QLatin1String("/oauth/")) || path == QLatin1String("/v1/assistants") ||
           path.startsWith(QLatin1String("/v1/assistants/"));
}

QCoro::Task<RelayHttpResponse> RelayOAuthHttp::answer(RelayHttpRequest request) {
    // The person's session is looked up first (awaited: relays may share it in a database) on
    // the paths that need one; the rest reads no session.
    std::optional<RelayAccounts::Session> signedIn;
    if (request.path.startsWith(QLatin1String("/v1/")) ||
        (request.path == QLatin1String("/oauth/authorize") && request.method == "POST")) {
        const std::string cookie = cookieOf(request);
        signedIn = co_await accounts_.find(cookie);
    }
    co_return answerWith(request, signedIn);
}

RelayHttpResponse
RelayOAuthHttp::answerWith(const RelayHttpRequest& request,
                           const std::optional<RelayAccounts::Session>& signedIn) {
    const std::string origin = originOf(request);
    const QString& path = request.path;
    if (path.startsWith(QLatin1String("/v1/"))) {
        return assistants(request, origin, signedIn);
    }
    if (request.method == "OPTIONS") {
        // A browser's preflight before a cross-origin registration or token call.
        RelayHttpResponse allowed = open(json(JSON(JSON::Object{})));
        allowed.headers.emplace_back(QByteArrayLiteral("Access-Control-Allow-Methods"),
                                     QByteArrayLiteral("GET, POST"));
        allowed.headers.emplace_back(QByteArrayLiteral("Access-Control-Allow-Headers"),
                                     QByteArrayLiteral("Content-Type, Authorization"));
        return allowed;
    }
    try {
        if (path.startsWith(QLatin1String("/.well-known/"))) {
            return documents(request, origin);
        }
        if (path == QLatin1String("/oauth/register")) {
            return registration(request);
        }
        if (path == QLatin1String("/oauth/token")) {
            return tokenCall(request);
        }
        if (path == QLatin1String("/oauth/authorize")) {
            return request.method == "POST" ? authorizeDecision(request, origin, signedIn)
                                            : authorizePage(request, origin);
        }
    } catch (const RelayOAuthError& error) {
        return oauthRefusal(error);
    }
    throw ContractError("not_found");
}

std::optional<RelayOAuthValidator::Access> RelayOAuthHttp::access(const RelayHttpRequest& request,
                                                                  RelayHttpResponse& refusal,
                                                                  const std::string* deviceId) {
    const std::string origin = originOf(request);
    return validator_.check(request, resourceOf(origin), metadataOf(origin), refusal, deviceId);
}

RelayHttpResponse RelayOAuthHttp::documents(const RelayHttpRequest& request,
                                            const std::string& origin) {
    if (request.method != "GET") {
        throw ContractError("method_not_allowed");
    }
    const QString& path = request.path;
    if (path == protectedResource || path == protectedResource + QLatin1String("/mcp")) {
        return open(json(JSON(JSON::Object{
            {"resource", JSON(resourceOf(origin))},
            {"authorization_servers", JSON(JSON::Array{JSON(origin)})},
            {"bearer_methods_supported", strings({"header"})},
            {"resource_name", JSON("Velto relay")},
        })));
    }
    if (path == authorizationServer) {
        return open(json(JSON(JSON::Object{
            {"issuer", JSON(origin)},
            {"authorization_endpoint", JSON(origin + "/oauth/authorize")},
            {"token_endpoint", JSON(origin + "/oauth/token")},
            {"registration_endpoint", JSON(origin + "/oauth/register")},
            {"response_types_supported", strings({"code"})},
            {"response_modes_supported", strings({"query"})},
            {"grant_types_supported", strings({"authorization_code", "refresh_token"})},
            {"code_challenge_methods_supported", strings({"S256"})},
            {"token_endpoint_auth_methods_supported", strings({"none"})},
            {"authorization_response_iss_parameter_supported", JSON(true)},
            // Clients register; the relay fetches no client documents from elsewhere.
            {"client_id_metadata_document_supported", JSON(false)},
        })));
    }
    throw ContractError("not_found");
}

RelayHttpResponse RelayOAuthHttp::registration(const RelayHttpRequest& request) {
    if (request.method != "POST") {
        throw ContractError("method_not_allowed");
    }
    const std::string block = RelayRateLimit::addressBlock(request.remote);
    if (registrations_.limited(block)) {
        return open(json(JSON(JSON::Object{{"error", JSON("temporarily_unavailable")},
                                           {"error_description", JSON("too many registrations")}}),
                         429));
    }
    if (!request.header("content-type").startsWith("application/json") ||
        request.body.size() > largestRegistration) {
        throw RelayOAuthError("invalid_client_metadata", "a JSON object of at most 8 KiB");
    }
    JSON body;
    try {
        body = JSON::parse(std::string_view(request.body.constData(),
                                            static_cast<std::size_t>(request.body.size())));
    } catch (const JSONReadError&) {
        throw RelayOAuthError("invalid_client_metadata", "the body is not JSON");
    }
    if (!body.isObject()) {
        throw RelayOAuthError("invalid_client_metadata", "the body is not a JSON object");
    }
    registrations_.note(block);
    return open(json(RelayOAuthRegistration::answer(authority_.registerClient(body)), 201));
}

RelayHttpResponse RelayOAuthHttp::tokenCall(const RelayHttpRequest& request) {
    if (request.method != "POST") {
        throw ContractError("method_not_allowed");
    }
    const std::string block = RelayRateLimit::addressBlock(request.remote);
    if (tokenCalls_.limited(block)) {
        return open(json(JSON(JSON::Object{{"error", JSON("temporarily_unavailable")},
                                           {"error_description", JSON("too many token requests")}}),
                         429));
    }
    tokenCalls_.note(block);
    if (!request.header("content-type").startsWith("application/x-www-form-urlencoded")) {
        throw RelayOAuthError("invalid_request", "the body must be form-encoded");
    }
    return open(json(RelayOAuthAuthority::answer(authority_.token(form(request.body)))));
}

RelayHttpResponse RelayOAuthHttp::authorizePage(const RelayHttpRequest& request,
                                                const std::string& origin) {
    if (request.method != "GET") {
        throw ContractError("method_not_allowed");
    }
    RelayHttpResponse response;
    RelayOAuthAuthority::Request asked;
    try {
        const RelayOAuthAuthority::Params params = form(request.query);
        asked = authority_.requester(params);
        try {
            authority_.complete(asked, params, resourceOf(origin));
        } catch (const RelayOAuthError& error) {
            // The client is known and its redirect URI registered: it hears of its mistake.
            RelayOAuthAuthority::Params back{
                {"error", error.error()}, {"error_description", error.what()}, {"iss", origin}};
            if (!asked.state.empty()) {
                back.emplace("state", asked.state);
            }
            response.status = 302;
            response.headers.emplace_back(
                QByteArrayLiteral("Location"),
                QByteArray::fromStdString(RelayOAuthAuthority::redirect(asked, back)));
            return response;
        }
    } catch (const RelayOAuthError& error) {
        // Nowhere safe to send the person back to: they read why here.
        response.status = 400;
        response.contentType = "text/plain; charset=utf-8";
        response.body =
            "This assistant's sign-in link can't be used: " + QByteArray(error.what()) + ".\n";
        return response;
    }
    // The page asks for the details itself, signing the person in first when needed.
    QFile page(dashboard_.filePath(QStringLiteral("consent.html")));
    if (!page.open(QIODevice::ReadOnly)) {
        throw ContractError("not_found");
    }
    response.contentType = "text/html; charset=utf-8";
    response.body = page.readAll();
    return response;
}

RelayHttpResponse
RelayOAuthHttp::authorizeDecision(const RelayHttpRequest& request, const std::string& origin,
                                  const std::optional<RelayAccounts::Session>& found) {
    // A consent is never given from another site's page.
    if (request.header("origin") != QByteArray::fromStdString(origin)) {
        throw ContractError("csrf_failed");
    }
    const RelayAccounts::Session signedIn = session(request, found);
    if (!request.header("content-type").startsWith("application/json")) {
        throw ContractError("invalid_request");
    }
    JSON body;
    try {
        body = JSON::parse(std::string_view(request.body.constData(),
                                            static_cast<std::size_t>(request.body.size())));
    } catch (const JSONReadError&) {
        throw ContractError("invalid_request");
    }
    const std::string* query = body.stringMember("query");
    const JSON* approve = body.find("approve");
    if (query == nullptr || approve == nullptr || !approve->boolean()) {
        throw ContractError("invalid_request");
    }
    RelayOAuthAuthority::Request asked;
    try {
        asked = authority_.request(form(QByteArray::fromStdString(*query)), resourceOf(origin));
    } catch (const RelayOAuthError&) {
        throw ContractError("invalid_request");
    }
    RelayOAuthAuthority::Params back{{"iss", origin}};
    if (!asked.state.empty()) {
        back.emplace("state", asked.state);
    }
    if (*approve->boolean()) {
        const std::string* device = body.stringMember("device_id");
        if (device == nullptr) {
            throw ContractError("invalid_request");
        }
        back.emplace("code", authority_.approve(asked, signedIn.accountId, *device));
    } else {
        back.emplace("error", "access_denied");
        back.emplace("error_description", "the person declined");
    }
    return json(
        JSON(JSON::Object{{"redirect_to", JSON(RelayOAuthAuthority::redirect(asked, back))}}));
}

RelayHttpResponse RelayOAuthHttp::assistants(const RelayHttpRequest& request,
                                             const std::string& origin,
                                             const std::optional<RelayAccounts::Session>& found) {
    const QByteArray from = request.header("origin");
    if (!from.isEmpty() && from != QByteArray::fromStdString(origin)) {
        throw ContractError("csrf_failed");
    }
    const RelayAccounts::Session signedIn = session(request, found);
    const QString& path = request.path;
    const bool get = request.method == "GET";
    std::map<std::string, std::string> deviceNames;
    for (const RelayStore::Device& device : relay_.devicesOf(signedIn.accountId)) {
        if (!device.revoked) {
            deviceNames.emplace(device.id, device.name);
        }
    }
    if (path == QLatin1String("/v1/assistants") && get) {
        JSON::Array list;
        for (const OAuthStore::Grant& grant : authority_.grantsOf(signedIn.accountId)) {
            if (!deviceNames.contains(grant.deviceId)) {
                continue; // its device was removed, and its tokens with it
            }
            JSON::Object view{{"id", JSON(grant.id)},
                              {"client_name", JSON(grant.clientName)},
                              {"device_id", JSON(grant.deviceId)},
                              {"device_name", JSON(deviceNames[grant.deviceId])},
                              {"granted_at", JSON(WireTime::text(grant.grantedAt))}};
            if (grant.lastUsedAt) {
                view.emplace("last_used_at", JSON(WireTime::text(*grant.lastUsedAt)));
            }
            list.emplace_back(std::move(view));
        }
        return json(JSON(JSON::Object{{"assistants", JSON(std::move(list))}}));
    }
    if (path == QLatin1String("/v1/assistants/consent") && get) {
        // What the consent page shows: who asks, where the person goes next, which devices.
        RelayOAuthAuthority::Request asked;
        try {
            asked = authority_.request(form(request.query), resourceOf(origin));
        } catch (const RelayOAuthError&) {
            throw ContractError("invalid_request");
        }
        JSON::Array devices;
        for (const auto& [id, name] : deviceNames) {
            devices.emplace_back(JSON::Object{{"device_id", JSON(id)}, {"name", JSON(name)}});
        }
        return json(JSON(
            JSON::Object{{"client_name", JSON(asked.client.name)},
                         {"redirect_host", JSON(RelayOAuthRegistration::hostOf(asked.redirectUri))},
                         {"signed_in_as", JSON(signedIn.name)},
                         {"devices", JSON(std::move(devices))}}));
    }
    static const QRegularExpression grantPath(
        QStringLiteral("^/v1/assistants/([0-9a-fA-F-]{36})$"));
    if (const QRegularExpressionMatch match = grantPath.match(path); match.hasMatch()) {
        if (request.method != "DELETE") {
            throw ContractError("method_not_allowed");
        }
        authority_.revoke(signedIn.accountId, match.captured(1).toStdString());
        return json(JSON(JSON::Object{}));
    }
    throw ContractError(get ? "not_found" : "method_not_allowed");
}

RelayAccounts::Session
RelayOAuthHttp::session(const RelayHttpRequest& request,
                        const std::optional<RelayAccounts::Session>& found) const {
    if (!found) {
        throw ContractError("unauthorized");
    }
    if (request.method != "GET" &&
        !RelaySecrets::same(request.header("x-csrf-token").toStdString(), found->csrf)) {
        throw ContractError("csrf_failed");
    }
    return *found;
}

} // namespace corvane
