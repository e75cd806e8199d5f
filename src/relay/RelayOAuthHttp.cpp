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

RelayHttpResponse limitedAnswer(const char* why) {
    return open(json(JSON(JSON::Object{{"error", JSON("temporarily_unavailable")},
                                       {"error_description", JSON(why)}}),
                     429));
}

// Where the person is sent back to after a refusal that the client hears of.
RelayHttpResponse redirectRefusal(const RelayOAuthAuthority::Request& asked,
                                  const RelayOAuthError& error, const std::string& origin) {
    RelayOAuthAuthority::Params back{
        {"error", error.error()}, {"error_description", error.what()}, {"iss", origin}};
    if (!asked.state.empty()) {
        back.emplace("state", asked.state);
    }
    RelayHttpResponse response;
    response.status = 302;
    response.headers.emplace_back(
        QByteArrayLiteral("Location"),
        QByteArray::fromStdString(RelayOAuthAuthority::redirect(asked, back)));
    return response;
}

// Nowhere safe to send the person back to: they read why here.
RelayHttpResponse pageRefusal(const RelayOAuthError& error) {
    RelayHttpResponse response;
    response.status = 400;
    response.contentType = "text/plain; charset=utf-8";
    response.body =
        "This assistant's sign-in link can't be used: " + QByteArray(error.what()) + ".\n";
    return response;
}

// The answer to a consent: where the person goes next.
RelayHttpResponse decided(const RelayOAuthAuthority::Request& asked, const std::string& origin,
                          const std::optional<std::string>& code) {
    RelayOAuthAuthority::Params back{{"iss", origin}};
    if (!asked.state.empty()) {
        back.emplace("state", asked.state);
    }
    if (code) {
        back.emplace("code", *code);
    } else {
        back.emplace("error", "access_denied");
        back.emplace("error_description", "the person declined");
    }
    return json(
        JSON(JSON::Object{{"redirect_to", JSON(RelayOAuthAuthority::redirect(asked, back))}}));
}

// The connected assistants whose devices are still in the account.
RelayHttpResponse assistantList(const std::vector<OAuthStore::Grant>& grants,
                                const std::map<std::string, std::string>& deviceNames) {
    JSON::Array list;
    for (const OAuthStore::Grant& grant : grants) {
        const auto device = deviceNames.find(grant.deviceId);
        if (device == deviceNames.end()) {
            continue; // its device was removed, and its tokens with it
        }
        JSON::Object view{{"id", JSON(grant.id)},
                          {"client_name", JSON(grant.clientName)},
                          {"device_id", JSON(grant.deviceId)},
                          {"device_name", JSON(device->second)},
                          {"granted_at", JSON(WireTime::text(grant.grantedAt))}};
        if (grant.lastUsedAt) {
            view.emplace("last_used_at", JSON(WireTime::text(*grant.lastUsedAt)));
        }
        list.emplace_back(std::move(view));
    }
    return json(JSON(JSON::Object{{"assistants", JSON(std::move(list))}}));
}

RelayHttpResponse consentDetails(const RelayOAuthAuthority::Request& asked,
                                 const RelayAccounts::Session& signedIn,
                                 const std::map<std::string, std::string>& deviceNames) {
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

std::string resourceOf(const std::string& origin) {
    return origin + "/mcp";
}

std::string metadataOf(const std::string& origin) {
    return origin + std::string(protectedResource.data(), protectedResource.size()) + "/mcp";
}

} // namespace

RelayOAuthHttp::RelayOAuthHttp(OAuthStore& oauth, RelayStoreThread& relay, RelayAccounts& accounts,
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
    RelayHttpResponse response = co_await answerWith(std::move(request), std::move(signedIn));
    co_return response;
}

QCoro::Task<RelayHttpResponse>
RelayOAuthHttp::answerWith(RelayHttpRequest request,
                           std::optional<RelayAccounts::Session> signedIn) {
    const std::string origin = originOf(request);
    const QString& path = request.path;
    if (path.startsWith(QLatin1String("/v1/"))) {
        RelayHttpResponse response = co_await assistants(request, origin, std::move(signedIn));
        co_return response;
    }
    if (request.method == "OPTIONS") {
        // A browser's preflight before a cross-origin registration or token call.
        RelayHttpResponse allowed = open(json(JSON(JSON::Object{})));
        allowed.headers.emplace_back(QByteArrayLiteral("Access-Control-Allow-Methods"),
                                     QByteArrayLiteral("GET, POST"));
        allowed.headers.emplace_back(QByteArrayLiteral("Access-Control-Allow-Headers"),
                                     QByteArrayLiteral("Content-Type, Authorization"));
        co_return allowed;
    }
    std::optional<RelayOAuthError> refused;
    try {
        RelayHttpResponse response;
        if (path.startsWith(QLatin1String("/.well-known/"))) {
            response = documents(request, origin);
        } else if (path == QLatin1String("/oauth/register")) {
            response = co_await registration(request);
        } else if (path == QLatin1String("/oauth/token")) {
            response = co_await tokenCall(request);
        } else if (path == QLatin1String("/oauth/authorize") && request.method == "POST") {
            response = co_await authorizeDecision(request, origin, std::move(signedIn));
        } else if (path == QLatin1String("/oauth/authorize")) {
            response = co_await authorizePage(request, origin);
        } else {
            throw ContractError("not_found");
        }
        co_return response;
    } catch (const RelayOAuthError& error) {
        refused = error;
    }
    co_return oauthRefusal(*refused);
}

QCoro::Task<RelayOAuthValidator::Checked>
RelayOAuthHttp::access(RelayHttpRequest request, std::optional<std::string> deviceId) {
    const std::string origin = originOf(request);
    RelayOAuthValidator::Checked checked =
        co_await validator_.check(request.header("authorization"), resourceOf(origin),
                                  metadataOf(origin), std::move(deviceId));
    co_return checked;
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

QCoro::Task<RelayHttpResponse> RelayOAuthHttp::registration(RelayHttpRequest request) {
    if (request.method != "POST") {
        throw ContractError("method_not_allowed");
    }
    const std::string block = RelayRateLimit::addressBlock(request.remote);
    if (registrations_.limited(block)) {
        co_return limitedAnswer("too many registrations");
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
    const OAuthStore::Client client = co_await authority_.registerClient(std::move(body));
    co_return open(json(RelayOAuthRegistration::answer(client), 201));
}

QCoro::Task<RelayHttpResponse> RelayOAuthHttp::tokenCall(RelayHttpRequest request) {
    if (request.method != "POST") {
        throw ContractError("method_not_allowed");
    }
    const std::string block = RelayRateLimit::addressBlock(request.remote);
    if (tokenCalls_.limited(block)) {
        co_return limitedAnswer("too many token requests");
    }
    tokenCalls_.note(block);
    if (!request.header("content-type").startsWith("application/x-www-form-urlencoded")) {
        throw RelayOAuthError("invalid_request", "the body must be form-encoded");
    }
    const RelayOAuthAuthority::Tokens tokens = co_await authority_.token(form(request.body));
    co_return open(json(RelayOAuthAuthority::answer(tokens)));
}

QCoro::Task<RelayHttpResponse> RelayOAuthHttp::authorizePage(RelayHttpRequest request,
                                                             std::string origin) {
    if (request.method != "GET") {
        throw ContractError("method_not_allowed");
    }
    std::optional<RelayOAuthError> refused;
    try {
        RelayOAuthAuthority::Params params = form(request.query);
        const RelayOAuthAuthority::Request asked = co_await authority_.requester(params);
        try {
            RelayOAuthAuthority::Request checked = asked;
            RelayOAuthAuthority::complete(checked, params, resourceOf(origin));
        } catch (const RelayOAuthError& error) {
            // The client is known and its redirect URI registered: it hears of its mistake.
            co_return redirectRefusal(asked, error, origin);
        }
    } catch (const RelayOAuthError& error) {
        refused = error;
    }
    if (refused) {
        co_return pageRefusal(*refused);
    }
    // The page asks for the details itself, signing the person in first when needed.
    QFile page(dashboard_.filePath(QStringLiteral("consent.html")));
    if (!page.open(QIODevice::ReadOnly)) {
        throw ContractError("not_found");
    }
    RelayHttpResponse response;
    response.contentType = "text/html; charset=utf-8";
    response.body = page.readAll();
    co_return response;
}

QCoro::Task<RelayOAuthAuthority::Request> RelayOAuthHttp::consentRequest(QByteArray query,
                                                                         std::string origin) {
    std::optional<RelayOAuthAuthority::Request> asked;
    try {
        asked = co_await authority_.request(form(query), resourceOf(origin));
    } catch (const RelayOAuthError&) {
    }
    if (!asked) {
        throw ContractError("invalid_request");
    }
    co_return std::move(*asked);
}

QCoro::Task<RelayHttpResponse>
RelayOAuthHttp::authorizeDecision(RelayHttpRequest request, std::string origin,
                                  std::optional<RelayAccounts::Session> found) {
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
    const RelayOAuthAuthority::Request asked =
        co_await consentRequest(QByteArray::fromStdString(*query), origin);
    std::optional<std::string> code;
    if (*approve->boolean()) {
        const std::string* device = body.stringMember("device_id");
        if (device == nullptr) {
            throw ContractError("invalid_request");
        }
        code = co_await authority_.approve(asked, signedIn.accountId, *device);
    }
    co_return decided(asked, origin, code);
}

QCoro::Task<RelayHttpResponse>
RelayOAuthHttp::assistants(RelayHttpRequest request, std::string origin,
                           std::optional<RelayAccounts::Session> found) {
    const QByteArray from = request.header("origin");
    if (!from.isEmpty() && from != QByteArray::fromStdString(origin)) {
        throw ContractError("csrf_failed");
    }
    const RelayAccounts::Session signedIn = session(request, found);
    const QString& path = request.path;
    const bool get = request.method == "GET";
    std::function<std::map<std::string, std::string>(RelayStore&)> names =
        [accountId = signedIn.accountId](RelayStore& store) {
            std::map<std::string, std::string> out;
            for (const RelayStore::Device& device : store.devicesOf(accountId)) {
                if (!device.revoked) {
                    out.emplace(device.id, device.name);
                }
            }
            return out;
        };
    std::map<std::string, std::string> deviceNames =
        co_await relay_.run<std::map<std::string, std::string>>(std::move(names));
    if (path == QLatin1String("/v1/assistants") && get) {
        const std::vector<OAuthStore::Grant> grants =
            co_await authority_.grantsOf(signedIn.accountId);
        co_return assistantList(grants, deviceNames);
    }
    if (path == QLatin1String("/v1/assistants/consent") && get) {
        // What the consent page shows: who asks, where the person goes next, which devices.
        const RelayOAuthAuthority::Request asked = co_await consentRequest(request.query, origin);
        co_return consentDetails(asked, signedIn, deviceNames);
    }
    static const QRegularExpression grantPath(
        QStringLiteral("^/v1/assistants/([0-9a-fA-F-]{36})$"));
    if (const QRegularExpressionMatch match = grantPath.match(path); match.hasMatch()) {
        if (request.method != "DELETE") {
            throw ContractError("method_not_allowed");
        }
        co_await authority_.revoke(signedIn.accountId, match.captured(1).toStdString());
        co_return json(JSON(JSON::Object{}));
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
