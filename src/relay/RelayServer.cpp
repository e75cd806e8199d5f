#include "relay/RelayServer.h"

#include "core/CommandFeedback.h"
#include "core/ContractError.h"
#include "core/ContractValidator.h"
#include "core/Uuid.h"
#include "core/WireTime.h"
#include "mcp/McpToolCatalog.h"
#include "relay/DevicePresence.h"
#include "relay/InProcessRateLimits.h"
#include "relay/InProcessWebSessions.h"
#include "relay/NetworkDeviceLink.h"
#include "relay/RelayMcpEndpoint.h"
#include "relay/RelayNetwork.h"
#include "relay/RelayOAuthHttp.h"
#include "relay/RelaySecrets.h"
#include "relay/RelayStoreError.h"
#include "relay/RelayStoreThread.h"
#include "relay/RelayText.h"

#include <QFile>
#include <QRegularExpression>

namespace corvane {

namespace {

using Status = int;

const QByteArray sessionCookie = QByteArrayLiteral("__Host-velto_session");

RelayHttpResponse jsonAnswer(const JSON& body, int status = 200) {
    RelayHttpResponse response;
    response.status = status;
    response.body = QByteArray::fromStdString(body.data());
    return response;
}

Status statusOf(const std::string& code) {
    static const std::map<std::string, Status, std::less<>> statuses{
        {"invalid_request", 400},     {"unauthorized", 401},         {"sign_in_failed", 401},
        {"csrf_failed", 403},         {"setup_not_available", 403},  {"not_found", 404},
        {"pairing_not_found", 404},   {"device_not_found", 404},     {"method_not_allowed", 405},
        {"pairing_pending", 409},     {"device_offline", 409},       {"pairing_expired", 410},
        {"rate_limited", 429},        {"device_busy", 429},          {"too_many_streams", 429},
        {"invalid_device_name", 400}, {"weak_password", 400},        {"wrong_password", 403},
        {"owner_only", 403},          {"invite_not_available", 410}, {"name_taken", 409},
    };
    const auto found = statuses.find(code);
    return found != statuses.end() ? found->second : 500;
}

// {"error": {"code", "message"}}: the agent reads the code, the dashboard shows the sentence.
RelayHttpResponse refusal(const std::string& code) {
    return jsonAnswer(
        JSON(JSON::Object{
            {"error",
             JSON(JSON::Object{{"code", JSON(code)}, {"message", JSON(RelayText::error(code))}})}}),
        statusOf(code));
}

std::string bearerOf(const RelayHttpRequest& request) {
    const QByteArray value = request.header("authorization");
    return value.startsWith("Bearer ") ? value.mid(7).trimmed().toStdString() : std::string();
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

JSON bodyOf(const RelayHttpRequest& request) {
    if (!request.header("content-type").startsWith("application/json")) {
        throw ContractError("invalid_request");
    }
    try {
        const QByteArray& body = request.body;
        JSON value =
            JSON::parse(std::string_view(body.constData(), static_cast<std::size_t>(body.size())));
        if (!value.isObject()) {
            throw ContractError("invalid_request");
        }
        return value;
    } catch (const JSONReadError&) {
        throw ContractError("invalid_request");
    }
}

std::string stringIn(const JSON& body, std::string_view name) {
    const std::string* value = body.stringMember(name);
    if (value == nullptr) {
        throw ContractError("invalid_request");
    }
    return *value;
}

void setCookie(RelayHttpResponse& response, const std::string& token, qint64 maxAge) {
    response.headers.emplace_back(
        QByteArrayLiteral("Set-Cookie"),
        sessionCookie + '=' + QByteArray::fromStdString(token) +
            "; Path=/; Secure; HttpOnly; SameSite=Strict; Max-Age=" + QByteArray::number(maxAge));
}

JSON sessionAnswer(const RelayAccounts::Session& session) {
    return JSON(JSON::Object{{"name", JSON(session.name)},
                             {"csrf", JSON(session.csrf)},
                             {"role", JSON(session.owner() ? "owner" : "member")}});
}

// The answer to a sign-in, set-up or joining: who is signed in, with the session's cookie.
RelayHttpResponse signedIn(const RelayAccounts::Session& session) {
    RelayHttpResponse answer = jsonAnswer(sessionAnswer(session));
    setCookie(
        answer, session.token,
        std::chrono::duration_cast<std::chrono::seconds>(RelayAccounts::sessionLifetime).count());
    return answer;
}

JSON commandView(const DeviceHub::Command& command) {
    static constexpr const char* states[] = {"sent", "delivered", "finished"};
    JSON::Object view{{"command_id", JSON(command.id)},
                      {"device_id", JSON(command.deviceId)},
                      {"action", JSON(command.action)},
                      {"state", JSON(states[static_cast<int>(command.state)])}};
    if (command.state == DeviceHub::CommandState::Finished) {
        view.emplace("ok", JSON(command.ok));
        if (command.ok) {
            view.emplace("data", command.data);
            view.emplace("message", JSON(CommandFeedback::success(command.action, command.data)));
        } else {
            view.emplace("error_code", JSON(command.errorCode));
            view.emplace("message", JSON(RelayText::error(command.errorCode)));
        }
    }
    return JSON(std::move(view));
}

JSON auditView(const RelayStore::Audit& audit) {
    JSON::Object view{{"command_id", JSON(audit.commandId)},
                      {"action", JSON(audit.action)},
                      {"action_name", JSON(CommandFeedback::actionName(audit.action))},
                      {"outcome", JSON(audit.outcome)},
                      {"sent_at", JSON(WireTime::text(audit.sentAt))}};
    if (audit.finishedAt) {
        view.emplace("finished_at", JSON(WireTime::text(*audit.finishedAt)));
        view.emplace("message", JSON(RelayText::outcome(audit.outcome)));
    }
    if (!audit.assistant.empty()) {
        view.emplace("assistant", JSON(audit.assistant));
    }
    return JSON(std::move(view));
}

// What the list and the live events say of one device; `live` is absent for one not seen since
// the relay started.
JSON deviceView(const std::string& id, const std::string& name, const DeviceHub::Live* live) {
    JSON::Object view{{"device_id", JSON(id)}, {"online", JSON(false)}};
    if (!name.empty()) {
        view.emplace("name", JSON(name));
    }
    if (live != nullptr) {
        view.insert_or_assign("online", JSON(live->online));
        view.emplace("capabilities", live->capabilities);
        view.emplace("agent_version", JSON(live->agentVersion));
        view.emplace("os_version", JSON(live->osVersion));
        view.emplace("reported_name", JSON(live->reportedName));
        view.emplace("last_seen", JSON(WireTime::text(live->lastSeen)));
    }
    return JSON(std::move(view));
}

// A short description of the browser behind a session ("Chrome on Android"), for the person who
// looks through their signed-in sessions; never more than that of what it says.
std::string browserOf(const RelayHttpRequest& request) {
    const QByteArray agent = request.header("user-agent");
    static constexpr std::pair<const char*, const char*> browsers[] = {
        {"Firefox/", "Firefox"}, {"Edg/", "Edge"},      {"OPR/", "Opera"},
        {"Chrome/", "Chrome"},   {"Safari/", "Safari"},
    };
    static constexpr std::pair<const char*, const char*> systems[] = {
        {"Android", "Android"}, {"iPhone", "iPhone"}, {"iPad", "iPad"},   {"Mac OS X", "a Mac"},
        {"Windows", "Windows"}, {"CrOS", "ChromeOS"}, {"Linux", "Linux"},
    };
    std::string browser = "A browser";
    for (const auto& [mark, name] : browsers) {
        if (agent.contains(mark)) {
            browser = name;
            break;
        }
    }
    for (const auto& [mark, name] : systems) {
        if (agent.contains(mark)) {
            return browser + " on " + name;
        }
    }
    return browser;
}

// A name a person gives a computer: shown in lists, so short and free of hidden characters.
std::string deviceName(const JSON& body) {
    std::string name = QString::fromStdString(stringIn(body, "name")).simplified().toStdString();
    if (name.empty() || QString::fromStdString(name).size() > 64 || !RelayText::plainName(name)) {
        throw ContractError("invalid_device_name");
    }
    return name;
}

JSON sessionRow(const RelayAccounts::Listed& listed, const std::string& currentKey) {
    return JSON(JSON::Object{{"id", JSON(listed.key.substr(0, 16))},
                             {"browser", JSON(listed.session.browser)},
                             {"started_at", JSON(WireTime::text(listed.session.startedAt))},
                             {"current", JSON(listed.key == currentKey)}});
}

JSON personRow(const RelayStore::Account& person, std::int64_t you) {
    return JSON(JSON::Object{{"id", JSON(static_cast<double>(person.id))},
                             {"name", JSON(person.name)},
                             {"role", JSON(person.memberOf ? "member" : "owner")},
                             {"you", JSON(person.id == you)}});
}

JSON pairingView(const RelayStore::Pairing& pairing) {
    return JSON(JSON::Object{{"code", JSON(pairing.code)},
                             {"device_name", JSON(pairing.deviceName)},
                             {"kind", JSON("mac")},
                             {"agent_version", JSON(pairing.agentVersion)},
                             {"requested_at", JSON(WireTime::text(pairing.requestedAt))},
                             {"expires_at", JSON(WireTime::text(pairing.expiresAt))}});
}

template <typename Shared, typename Own>
std::unique_ptr<Shared> unlessShared(Shared* shared) {
    return shared != nullptr ? nullptr : std::make_unique<Own>();
}

DeviceHub::Limits hubLimitsOf(const RelayServer::Options& options) {
    DeviceHub::Limits limits;
    limits.closeLeftOpen = options.presence == nullptr;
    return limits;
}

// What travels over the bus: the envelope as the device gets it, and whose command it is.
std::string carriedBody(std::int64_t accountId, const std::string& action, const JSON& message) {
    return JSON(JSON::Object{{"account_id", JSON(static_cast<double>(accountId))},
                             {"action", JSON(action)},
                             {"message", message}})
        .data();
}

std::string resultBody(bool ok, const JSON& data, const std::string& errorCode) {
    JSON::Object body{{"ok", JSON(ok)}};
    if (ok) {
        body.emplace("data", data);
    } else {
        body.emplace("error_code", JSON(errorCode));
    }
    return JSON(std::move(body)).data();
}

RelayNetwork::Limits limitsOf(const RelayServer::Options& options) {
    RelayNetwork::Limits limits;
    limits.perAddress = options.connectionsPerAddress;
    return limits;
}

} // namespace

RelayServer::RelayServer(RelayStoreThread& store, Clock& clock, const ContractValidator& validator,
                         Options options)
    : store_(store)
    , waitingStore_(store)
    , clock_(clock)
    , validator_(validator)
    , options_(std::move(options))
    , passwords_(options_.passwordThreads, options_.passwordsAtOnce)
    , pairing_(store.store(), clock, validator)
    , ownSessions_(unlessShared<WebSessions, InProcessWebSessions>(options_.sessions))
    , ownLimits_(unlessShared<RateLimits, InProcessRateLimits>(options_.limits))
    , sessions_(ownSessions_ ? *ownSessions_ : *options_.sessions)
    , limits_(ownLimits_ ? *ownLimits_ : *options_.limits)
    , accounts_(store, passwords_, clock, sessions_, limits_)
    , hub_(waitingStore_, clock, validator, hubLimitsOf(options_))
    , events_(clock) {
    network_ = std::make_unique<RelayNetwork>(
        options_.tls, [this](RelayHttpRequest request) { return dispatch(std::move(request)); },
        [this](std::shared_ptr<RelayWebSocketSession> socket, const std::string& deviceHeader) {
            return std::make_unique<NetworkDeviceLink>(std::move(socket), hub_, deviceHeader);
        },
        limitsOf(options_));
    if (options_.oauth != nullptr) {
        // Its few store reads still wait on this thread.
        oauth_ = std::make_unique<RelayOAuthHttp>(*options_.oauth, waitingStore_, accounts_, clock_,
                                                  options_.dashboard);
        mcp_ = std::make_unique<RelayMcpEndpoint>(*oauth_, hub_, store_, clock_,
                                                  McpToolCatalog::fromJSON(validator_.root()));
    }
    hub_.observe(this);
    hub_.writeLater(
        [&store](std::function<void(RelayStore&)> write) { store.later(std::move(write)); });
    if (options_.bus != nullptr) {
        options_.bus->listen({[this](CommandBus::Command command) { carry(std::move(command)); },
                              [this](CommandBus::Result result) { settleSent(std::move(result)); },
                              [](const std::string& failure) {
                                  qWarning("relay: command bus: %s", failure.c_str());
                              }});
    }
    sweeper_.setInterval(1000);
    QObject::connect(&sweeper_, &QTimer::timeout, this, [this] {
        hub_.sweep();
        events_.tick();
        if (options_.bus != nullptr) {
            // The lease runs DevicePresence::leaseTime; renewed every 5 s it outlives two misses.
            share(sweeps_ % 5 == 0);
        }
        // Expired codes go even when nobody asks for a new one.
        if (++sweeps_ % 60 == 0) {
            purgeExpired();
        }
    });
}

RelayServer::~RelayServer() {
    sweeper_.stop();
    // Handlers under way use everything below; they end first (those waiting on a device now).
    if (mcp_) {
        mcp_->endWaits();
    }
    network_->drain();
    hub_.observe(nullptr);
    // The sinks post to the network thread, which goes next.
    events_.endAll();
    // The links tell the hub they ended, so they go while it is still here.
    network_.reset();
}

quint16 RelayServer::listen(const QHostAddress& address, quint16 port) {
    const quint16 bound = network_->listen(address, port);
    if (bound != 0) {
        sweeper_.start();
        if (options_.bus != nullptr) {
            share(true);
        }
    }
    return bound;
}

QCoro::Task<> RelayServer::purgeExpired() {
    try {
        std::function<void(RelayStore&)> purge = [now = clock_.now()](RelayStore& stored) {
            stored.purgePairings(now);
        };
        co_await store_.run<void>(std::move(purge));
    } catch (const std::exception& error) {
        qWarning("relay: expired pairings not removed: %s", error.what());
    }
}

const std::vector<RelayServer::Route>& RelayServer::routes() {
    const auto path = [](const char* pattern) {
        return QRegularExpression(QLatin1String("^") + QLatin1String(pattern) + QLatin1String("$"));
    };
    const char* device = "/v1/devices/(?<device>[0-9a-fA-F-]{36})";
    const auto underDevice = [&](const char* rest) {
        return QRegularExpression(QLatin1String("^") + QLatin1String(device) + QLatin1String(rest) +
                                  QLatin1String("$"));
    };
    static const std::vector<Route> table{
        {"POST", path("/v1/pairing/code"), Caller::Device, &RelayServer::pairingCode},
        {"POST", path("/v1/pairing/redeem"), Caller::Bearer, &RelayServer::pairingRedeem},
        {"POST", path("/v1/pairing/cancel"), Caller::Bearer, &RelayServer::pairingCancel},
        {"POST", path("/v1/account/setup"), Caller::Page, &RelayServer::setUp},
        {"POST", path("/v1/account/join"), Caller::Page, &RelayServer::join},
        {"POST", path("/v1/account/sign-in"), Caller::Page, &RelayServer::signIn},
        {"GET", path("/v1/account"), Caller::SignedIn, &RelayServer::account},
        {"GET", path("/v1/events"), Caller::Stream, &RelayServer::events},
        {"GET", path("/v1/account/sessions"), Caller::SignedIn, &RelayServer::sessions},
        {"POST", path("/v1/account/sign-out-others"), Caller::SignedIn,
         &RelayServer::signOutOthers},
        {"POST", path("/v1/account/password"), Caller::SignedIn, &RelayServer::changePassword},
        {"GET", path("/v1/account/people"), Caller::SignedIn, &RelayServer::people},
        {"POST", path("/v1/account/invite"), Caller::SignedIn, &RelayServer::invite},
        {"POST", path("/v1/account/people/remove"), Caller::SignedIn, &RelayServer::removePerson},
        {"POST", path("/v1/account/sign-out"), Caller::SignedIn, &RelayServer::signOut},
        {"POST", path("/v1/pairings/approve"), Caller::SignedIn, &RelayServer::approvePairing},
        {"POST", path("/v1/pairings/lookup"), Caller::SignedIn, &RelayServer::lookUpPairing},
        {"GET", path("/v1/devices"), Caller::SignedIn, &RelayServer::devices},
        {"POST", underDevice("/commands"), Caller::SignedIn, &RelayServer::sendCommand},
        {"GET", underDevice("/audit"), Caller::SignedIn, &RelayServer::audit},
        {"POST", underDevice("/revoke"), Caller::Owner, &RelayServer::revoke},
        {"POST", underDevice("/rename"), Caller::SignedIn, &RelayServer::rename},
        {"GET", path("/v1/commands/(?<command>[0-9a-fA-F-]{36})"), Caller::SignedIn,
         &RelayServer::command},
    };
    return table;
}

QCoro::Task<RelayHttpResponse> RelayServer::dispatch(RelayHttpRequest request) {
    const QString path = request.path;
    const QByteArray method = request.method;
    try {
        if (oauth_ && RelayOAuthHttp::handles(path)) {
            co_return oauth_->answer(request);
        }
        if (mcp_ && RelayMcpEndpoint::handles(path)) {
            co_return co_await mcp_->answer(std::move(request));
        }
        if (path.startsWith(QLatin1String("/v1/"))) {
            RelayHttpResponse response = co_await api(std::move(request));
            co_return response;
        }
        if (method != "GET") {
            RelayHttpResponse refused = refusal("method_not_allowed");
            refused.headers.emplace_back(QByteArrayLiteral("Allow"), QByteArrayLiteral("GET"));
            co_return refused;
        }
        co_return dashboardFile(path);
    } catch (const ContractError& error) {
        co_return refusal(error.code());
    } catch (const RelayStoreError& error) {
        qWarning("relay: %s %s failed: %s", qPrintable(path), method == "GET" ? "GET" : "POST",
                 error.what());
        co_return refusal("relay_storage_failed");
    } catch (const std::exception& error) {
        qWarning("relay: %s %s failed: %s", qPrintable(path), method == "GET" ? "GET" : "POST",
                 error.what());
        co_return refusal("relay_failed");
    }
}

QCoro::Task<RelayHttpResponse> RelayServer::api(RelayHttpRequest request) {
    const Route* found = nullptr;
    QRegularExpressionMatch match;
    QByteArray allowed;
    for (const Route& route : routes()) {
        QRegularExpressionMatch candidate = route.path.match(request.path);
        if (!candidate.hasMatch()) {
            continue;
        }
        if (route.method == request.method) {
            found = &route;
            match = std::move(candidate);
            break;
        }
        allowed += (allowed.isEmpty() ? "" : ", ") + route.method;
    }
    if (found == nullptr) {
        if (allowed.isEmpty()) {
            throw ContractError("not_found");
        }
        RelayHttpResponse refused = refusal("method_not_allowed");
        refused.headers.emplace_back(QByteArrayLiteral("Allow"), allowed);
        co_return refused;
    }
    Call call;
    call.captured = match.capturedTexts().mid(1);
    call.request = std::move(request);
    Call admitted = co_await admit(*found, std::move(call));
    RelayHttpResponse response = co_await (this->*found->handler)(std::move(admitted));
    co_return response;
}

QCoro::Task<RelayServer::Call> RelayServer::admit(const Route& route, Call call) {
    const RelayHttpRequest& request = call.request;
    if (route.caller == Caller::Device) {
        co_return call;
    }
    if (route.caller == Caller::Bearer) {
        // The body is read first, as the agent has always been answered.
        bodyOf(request);
        call.bearer = bearerOf(request);
        if (call.bearer.empty()) {
            throw ContractError("unauthorized");
        }
        co_return call;
    }
    // Everything else belongs to the dashboard: same origin only.
    const QByteArray origin = request.header("origin");
    if (!origin.isEmpty() && origin != "https://" + request.header("host")) {
        throw ContractError("csrf_failed");
    }
    call.cookie = cookieOf(request);
    if (route.caller == Caller::Page) {
        co_return call;
    }
    call.session = co_await accounts_.find(call.cookie);
    if (!call.session) {
        throw ContractError("unauthorized");
    }
    // A GET stream must carry the page's token too: another site's page can neither send the
    // header nor read the answer, so only the dashboard itself opens a stream.
    if (request.method == "POST" || route.caller == Caller::Stream) {
        if (!RelaySecrets::same(request.header("x-csrf-token").toStdString(), call.session->csrf)) {
            throw ContractError("csrf_failed");
        }
    }
    call.sessionKey = RelaySecrets::digest(call.cookie);
    if (route.path.namedCaptureGroups().contains(QStringLiteral("device"))) {
        std::function<std::optional<RelayStore::Device>(RelayStore&)> find =
            [id = call.captured.front().toStdString()](RelayStore& stored) {
                return stored.device(id);
            };
        call.device = co_await store_.run<std::optional<RelayStore::Device>>(std::move(find));
        if (!call.device || call.device->accountId != call.session->accountId) {
            throw ContractError("device_not_found");
        }
    }
    if (route.caller == Caller::Owner && !call.session->owner()) {
        throw ContractError("owner_only");
    }
    co_return call;
}

QCoro::Task<RelayHttpResponse> RelayServer::pairingCode(Call call) {
    const JSON body = bodyOf(call.request);
    const std::string block = RelayRateLimit::addressBlock(call.request.remote);
    const std::string limited = "code:" + block;
    const RateLimits::Rule rule{codesPerAddress, RelayPairing::lifetime};
    const RateLimits::Answer codes = co_await limits_.check(limited, rule, clock_.now());
    if (!codes.allowed) {
        throw ContractError("rate_limited");
    }
    std::function<JSON(RelayStore&)> make = [this, body, block](RelayStore&) {
        return pairing_.code(body, block);
    };
    JSON reply = co_await store_.run<JSON>(std::move(make));
    co_await limits_.note(limited, rule, clock_.now());
    co_return jsonAnswer(reply);
}

QCoro::Task<RelayHttpResponse> RelayServer::pairingRedeem(Call call) {
    using Redeemed = std::pair<JSON, std::optional<RelayStore::Device>>;
    std::function<Redeemed(RelayStore&)> redeem =
        [this, bearer = call.bearer, body = bodyOf(call.request)](RelayStore& stored) {
            JSON reply = pairing_.redeem(bearer, body);
            std::optional<RelayStore::Device> device =
                stored.device(*reply.stringMember("device_id"));
            return Redeemed(std::move(reply), std::move(device));
        };
    const Redeemed redeemed = co_await store_.run<Redeemed>(std::move(redeem));
    if (redeemed.second) {
        devicesChanged(redeemed.second->accountId, "added");
    }
    co_return jsonAnswer(redeemed.first);
}

QCoro::Task<RelayHttpResponse> RelayServer::pairingCancel(Call call) {
    std::function<void(RelayStore&)> cancel = [this, bearer = call.bearer](RelayStore&) {
        pairing_.cancel(bearer);
    };
    co_await store_.run<void>(std::move(cancel));
    co_return jsonAnswer(JSON(JSON::Object{}));
}

QCoro::Task<RelayHttpResponse> RelayServer::setUp(Call call) {
    const JSON body = bodyOf(call.request);
    const RelayAccounts::Session session =
        co_await accounts_.setUp(stringIn(body, "token"), stringIn(body, "name"),
                                 stringIn(body, "password"), browserOf(call.request));
    co_return signedIn(session);
}

QCoro::Task<RelayHttpResponse> RelayServer::join(Call call) {
    const JSON body = bodyOf(call.request);
    const RelayAccounts::Session session =
        co_await accounts_.join(stringIn(body, "token"), stringIn(body, "name"),
                                stringIn(body, "password"), browserOf(call.request));
    co_return signedIn(session);
}

QCoro::Task<RelayHttpResponse> RelayServer::signIn(Call call) {
    const JSON body = bodyOf(call.request);
    const std::string name = stringIn(body, "name");
    const std::optional<RelayAccounts::Session> current = co_await accounts_.find(call.cookie);
    const RelayAccounts::Session session = co_await accounts_.signIn(
        name, stringIn(body, "password"), RelayRateLimit::addressBlock(call.request.remote),
        current.has_value() && current->name == name, browserOf(call.request));
    co_return signedIn(session);
}

QCoro::Task<RelayHttpResponse> RelayServer::account(Call call) {
    co_return jsonAnswer(sessionAnswer(*call.session));
}

QCoro::Task<RelayHttpResponse> RelayServer::events(Call call) {
    co_return eventStream(*call.session, call.sessionKey);
}

QCoro::Task<RelayHttpResponse> RelayServer::sessions(Call call) {
    const std::vector<RelayAccounts::Listed> found =
        co_await accounts_.sessionsOf(call.session->personId);
    JSON::Array sessions;
    for (const RelayAccounts::Listed& listed : found) {
        sessions.emplace_back(sessionRow(listed, call.sessionKey));
    }
    co_return jsonAnswer(JSON(JSON::Object{{"sessions", JSON(std::move(sessions))}}));
}

QCoro::Task<RelayHttpResponse> RelayServer::signOutOthers(Call call) {
    const std::size_t ended =
        endSessions(co_await accounts_.signOutOthers(call.session->personId, call.sessionKey));
    co_return jsonAnswer(JSON(JSON::Object{{"ended", JSON(static_cast<double>(ended))}}));
}

QCoro::Task<RelayHttpResponse> RelayServer::changePassword(Call call) {
    const JSON body = bodyOf(call.request);
    co_await accounts_.changePassword(*call.session, stringIn(body, "current"),
                                      stringIn(body, "password"));
    // Whoever knew the old password is signed out; this page stays.
    endSessions(co_await accounts_.signOutOthers(call.session->personId, call.sessionKey));
    co_return jsonAnswer(JSON(JSON::Object{}));
}

QCoro::Task<RelayHttpResponse> RelayServer::people(Call call) {
    std::function<std::vector<RelayStore::Account>(RelayStore&)> list =
        [account = call.session->accountId](RelayStore& stored) {
            return stored.peopleOf(account);
        };
    const std::vector<RelayStore::Account> found =
        co_await store_.run<std::vector<RelayStore::Account>>(std::move(list));
    JSON::Array people;
    for (const RelayStore::Account& person : found) {
        people.emplace_back(personRow(person, call.session->personId));
    }
    co_return jsonAnswer(JSON(JSON::Object{{"people", JSON(std::move(people))}}));
}

QCoro::Task<RelayHttpResponse> RelayServer::invite(Call call) {
    const std::string token = co_await accounts_.invite(*call.session);
    co_return jsonAnswer(JSON(JSON::Object{
        {"token", JSON(token)},
        {"expires_at", JSON(WireTime::text(clock_.now() + RelayAccounts::inviteLifetime))}}));
}

QCoro::Task<RelayHttpResponse> RelayServer::removePerson(Call call) {
    const JSON body = bodyOf(call.request);
    const JSON* id = body.find("id");
    const std::optional<double> number = id != nullptr ? id->number() : std::nullopt;
    // Anything but a whole number within a double's exact range is refused before the cast.
    if (!number || *number < 1 || *number > 9007199254740991.0 ||
        *number != static_cast<double>(static_cast<std::int64_t>(*number))) {
        throw ContractError("invalid_request");
    }
    const std::vector<std::string> ended =
        co_await accounts_.remove(*call.session, static_cast<std::int64_t>(*number));
    endSessions(ended);
    co_return jsonAnswer(JSON(JSON::Object{}));
}

QCoro::Task<RelayHttpResponse> RelayServer::signOut(Call call) {
    events_.endSession(call.sessionKey);
    co_await accounts_.signOut(call.cookie);
    RelayHttpResponse answer = jsonAnswer(JSON(JSON::Object{}));
    setCookie(answer, "", 0);
    co_return answer;
}

QCoro::Task<RelayHttpResponse> RelayServer::approvePairing(Call call) {
    RelayHttpResponse answer = co_await typedCode(std::move(call), true);
    co_return answer;
}

QCoro::Task<RelayHttpResponse> RelayServer::lookUpPairing(Call call) {
    RelayHttpResponse answer = co_await typedCode(std::move(call), false);
    co_return answer;
}

QCoro::Task<RelayHttpResponse> RelayServer::typedCode(Call call, bool approving) {
    const std::int64_t account = call.session->accountId;
    const std::string guesser = "wrong-code:" + std::to_string(account);
    const RateLimits::Rule rule{wrongCodesPerAccount, RelayPairing::lifetime};
    const RateLimits::Answer guesses = co_await limits_.check(guesser, rule, clock_.now());
    if (!guesses.allowed) {
        throw ContractError("rate_limited");
    }
    std::exception_ptr refused;
    try {
        const std::string code = stringIn(bodyOf(call.request), "code");
        if (!approving) {
            // What the person checks against the computer in front of them before approving.
            std::function<RelayStore::Pairing(RelayStore&)> look = [this, code](RelayStore&) {
                return pairing_.pending(code);
            };
            const RelayStore::Pairing pairing =
                co_await store_.run<RelayStore::Pairing>(std::move(look));
            co_return jsonAnswer(pairingView(pairing));
        }
        std::function<std::string(RelayStore&)> approve = [this, code, account](RelayStore&) {
            return pairing_.approve(code, account);
        };
        const std::string deviceId = co_await store_.run<std::string>(std::move(approve));
        devicesChanged(account, "approved");
        co_return jsonAnswer(JSON(JSON::Object{{"device_id", JSON(deviceId)}}));
    } catch (const ContractError& error) {
        if (error.code() != "pairing_not_found") {
            throw;
        }
        refused = std::current_exception();
    }
    // Counted outside the handler: a coroutine cannot wait inside one.
    co_await limits_.note(guesser, rule, clock_.now());
    std::rethrow_exception(refused);
}

QCoro::Task<RelayHttpResponse> RelayServer::devices(Call call) {
    std::function<std::vector<RelayStore::Device>(RelayStore&)> list =
        [account = call.session->accountId](RelayStore& stored) {
            return stored.devicesOf(account);
        };
    const std::vector<RelayStore::Device> found =
        co_await store_.run<std::vector<RelayStore::Device>>(std::move(list));
    JSON::Array devices;
    for (const RelayStore::Device& device : found) {
        const std::optional<DeviceHub::Live> live = hub_.live(device.id);
        JSON view = deviceView(device.id, device.name, live ? &*live : nullptr);
        if (options_.presence != nullptr && (!live || !live->online)) {
            // Its socket may be on another relay, which answers its commands.
            const std::string deviceId = device.id;
            const std::optional<std::string> holder = co_await options_.presence->holder(deviceId);
            if (holder) {
                view.object()->insert_or_assign("online", JSON(true));
            }
        }
        view.object()->emplace("paired_at", JSON(WireTime::text(device.pairedAt)));
        devices.emplace_back(std::move(view));
    }
    co_return jsonAnswer(JSON(JSON::Object{{"devices", JSON(std::move(devices))}}));
}

QCoro::Task<RelayHttpResponse> RelayServer::sendCommand(Call call) {
    const JSON body = bodyOf(call.request);
    const JSON* params = body.find("params");
    const std::string action = stringIn(body, "action");
    const JSON given = params != nullptr ? *params : JSON(JSON::Object{});
    const std::optional<DeviceHub::Live> live = hub_.live(call.device->id);
    if (options_.presence != nullptr && (!live || !live->online)) {
        const std::string deviceId = call.device->id;
        const std::optional<std::string> holder = co_await options_.presence->holder(deviceId);
        if (holder && *holder != options_.presence->relayId()) {
            // Named first: temporaries in a co_await's arguments are freed twice on GCC 12.
            QCoro::Task<RelayHttpResponse> elsewhere =
                sendElsewhere(std::move(call), action, given);
            RelayHttpResponse answer = co_await std::move(elsewhere);
            co_return answer;
        }
    }
    DeviceHub::Outgoing outgoing =
        hub_.prepare(call.session->accountId, *call.device, action, given);
    // Audited before it leaves: no command reaches a device without its row.
    std::function<void(RelayStore&)> audit = [row = outgoing.audit()](RelayStore& stored) {
        stored.addAudit(row);
    };
    co_await store_.run<void>(std::move(audit));
    const std::string id = hub_.dispatch(std::move(outgoing));
    co_return jsonAnswer(JSON(JSON::Object{{"command_id", JSON(id)}}), 202);
}

QCoro::Task<RelayHttpResponse> RelayServer::sendElsewhere(Call call, std::string action,
                                                          JSON params) {
    const DeviceHub::Outgoing outgoing =
        hub_.prepareElsewhere(call.session->accountId, *call.device, action, params);
    // Audited here, by the relay the person asked, and finished here whatever the holder says.
    std::function<void(RelayStore&)> audit = [row = outgoing.audit()](RelayStore& stored) {
        stored.addAudit(row);
    };
    co_await store_.run<void>(std::move(audit));
    // Tracked before it leaves, so that a result coming back at once finds it.
    hub_.track(outgoing);
    const std::string id = outgoing.command.id;
    CommandBus::Command command{id, call.device->id,
                                carriedBody(call.session->accountId, action, outgoing.message)};
    CommandBus::Sent sent = CommandBus::Sent::Queued;
    try {
        sent = co_await options_.bus->send(std::move(command));
    } catch (const std::exception&) {
        hub_.settle(id, false, JSON(), "relay_storage_failed");
        throw;
    }
    if (sent == CommandBus::Sent::NoHolder) {
        // Its holder went between the look-up and the send.
        hub_.settle(id, false, JSON(), "device_offline");
        throw ContractError("device_offline");
    }
    co_return jsonAnswer(JSON(JSON::Object{{"command_id", JSON(id)}}), 202);
}

void RelayServer::carry(CommandBus::Command command) {
    std::string refusal = "invalid_request";
    try {
        const JSON body = JSON::parse(command.body);
        const JSON* account = body.find("account_id");
        const std::optional<double> accountId =
            account != nullptr ? account->number() : std::nullopt;
        const std::string* action = body.stringMember("action");
        const JSON* message = body.find("message");
        if (accountId && action != nullptr && message != nullptr && message->isObject()) {
            refusal = hub_.relay(static_cast<std::int64_t>(*accountId), command.deviceId, *action,
                                 *message);
        }
    } catch (const std::exception& error) {
        qWarning("relay: a command from another relay was not sent: %s", error.what());
    }
    if (refusal.empty()) {
        carried_.insert(command.id);
        return;
    }
    answerCarried(command.id, resultBody(false, JSON(), refusal));
}

QCoro::Task<> RelayServer::answerCarried(std::string commandId, std::string body) {
    try {
        co_await options_.bus->answer(std::move(commandId), std::move(body));
    } catch (const std::exception& error) {
        qWarning("relay: a result for another relay was not sent: %s", error.what());
    }
}

void RelayServer::settleSent(CommandBus::Result result) {
    if (result.outcome == CommandBus::Outcome::RelayLost) {
        hub_.settle(result.commandId, false, JSON(), "relay_lost");
        return;
    }
    try {
        const JSON body = JSON::parse(result.body);
        const JSON* ok = body.find("ok");
        const JSON* data = body.find("data");
        const std::string* code = body.stringMember("error_code");
        if (ok != nullptr && ok->isTrue()) {
            hub_.settle(result.commandId, true, data != nullptr ? *data : JSON(), {});
        } else {
            hub_.settle(result.commandId, false, JSON(),
                        code != nullptr ? *code : std::string("relay_failed"));
        }
    } catch (const std::exception& error) {
        qWarning("relay: a result from another relay was not read: %s", error.what());
        hub_.settle(result.commandId, false, JSON(), "relay_failed");
    }
}

QCoro::Task<> RelayServer::share(bool renewing) {
    if (sharing_) {
        co_return;
    }
    sharing_ = true;
    const std::weak_ptr<int> alive = alive_;
    std::vector<std::string> taken;
    try {
        co_await options_.bus->sweep();
        if (renewing && !alive.expired()) {
            taken = co_await options_.presence->renew();
        }
    } catch (const std::exception& error) {
        qWarning("relay: shared state not renewed: %s", error.what());
    }
    if (alive.expired()) {
        co_return;
    }
    sharing_ = false;
    // Those devices reconnected through another relay: this socket is a stale one.
    for (const std::string& deviceId : taken) {
        claimed_.erase(deviceId);
        hub_.drop(deviceId);
    }
}

QCoro::Task<> RelayServer::claim(std::string deviceId, bool held) {
    try {
        if (held) {
            co_await options_.presence->claim(std::move(deviceId));
        } else {
            co_await options_.presence->release(std::move(deviceId));
        }
    } catch (const std::exception& error) {
        qWarning("relay: device presence not stored: %s", error.what());
    }
}

QCoro::Task<RelayHttpResponse> RelayServer::audit(Call call) {
    std::function<std::vector<RelayStore::Audit>(RelayStore&)> list =
        [id = call.device->id](RelayStore& stored) {
            return stored.auditOf(id, 100);
        };
    const std::vector<RelayStore::Audit> found =
        co_await store_.run<std::vector<RelayStore::Audit>>(std::move(list));
    JSON::Array rows;
    for (const RelayStore::Audit& audit : found) {
        rows.push_back(auditView(audit));
    }
    co_return jsonAnswer(JSON(JSON::Object{{"audit", JSON(std::move(rows))}}));
}

QCoro::Task<RelayHttpResponse> RelayServer::revoke(Call call) {
    std::function<void(RelayStore&)> revoke = [id = call.device->id](RelayStore& stored) {
        stored.revokeDevice(id);
    };
    co_await store_.run<void>(std::move(revoke));
    hub_.revoked(call.device->id);
    devicesChanged(call.session->accountId, "removed");
    co_return jsonAnswer(JSON(JSON::Object{}));
}

QCoro::Task<RelayHttpResponse> RelayServer::rename(Call call) {
    const std::string name = deviceName(bodyOf(call.request));
    std::function<void(RelayStore&)> store = [id = call.device->id, name](RelayStore& stored) {
        stored.renameDevice(id, name);
    };
    co_await store_.run<void>(std::move(store));
    devicesChanged(call.session->accountId, "renamed");
    co_return jsonAnswer(JSON(JSON::Object{{"name", JSON(name)}}));
}

QCoro::Task<RelayHttpResponse> RelayServer::command(Call call) {
    const std::optional<DeviceHub::Command> command =
        hub_.command(call.session->accountId, call.captured.front().toStdString());
    if (!command) {
        throw ContractError("not_found");
    }
    co_return jsonAnswer(commandView(*command));
}

RelayHttpResponse RelayServer::eventStream(const RelayAccounts::Session& session,
                                           std::string sessionKey) {
    // Refused here rather than after the answer's head, so that the page is told why.
    if (!events_.canOpen(session.accountId, sessionKey)) {
        throw ContractError("too_many_streams");
    }
    RelayHttpResponse response;
    response.contentType = "text/event-stream; charset=utf-8";
    // The first event says the stream is live, so the page fetches what it may have missed.
    response.body =
        QByteArray::fromStdString(DashboardEvents::event("ready", JSON(JSON::Object{})));
    response.headers.emplace_back(QByteArrayLiteral("X-Accel-Buffering"), QByteArrayLiteral("no"));
    response.attach = [this, account = session.accountId, key = std::move(sessionKey),
                       expires = session.expiresAt](std::unique_ptr<EventSink> sink) {
        events_.open(std::move(sink), account, key, expires);
    };
    return response;
}

std::size_t RelayServer::endSessions(const std::vector<std::string>& keys) {
    for (const std::string& key : keys) {
        events_.endSession(key);
    }
    return keys.size();
}

void RelayServer::devicesChanged(std::int64_t accountId, std::string_view why) {
    events_.publish(accountId, "devices", JSON(JSON::Object{{"reason", JSON(std::string(why))}}));
}

void RelayServer::deviceChanged(const std::string& deviceId, const DeviceHub::Live& live) {
    if (options_.presence != nullptr) {
        if (live.online && claimed_.insert(deviceId).second) {
            claim(deviceId, true);
        } else if (!live.online && claimed_.erase(deviceId) > 0) {
            claim(deviceId, false);
        }
    }
    try {
        events_.publish(live.accountId, "device", deviceView(deviceId, {}, &live));
    } catch (const std::exception& error) {
        qWarning("relay: device change not told: %s", error.what());
    }
}

void RelayServer::commandChanged(const DeviceHub::Command& command) {
    if (command.state == DeviceHub::CommandState::Finished && carried_.erase(command.id) > 0) {
        answerCarried(command.id, resultBody(command.ok, command.data, command.errorCode));
    }
    if (mcp_) {
        mcp_->commandChanged(command);
    }
    try {
        events_.publish(command.accountId, "command", commandView(command));
    } catch (const std::exception& error) {
        qWarning("relay: command change not told: %s", error.what());
    }
}

RelayHttpResponse RelayServer::dashboardFile(const QString& path) const {
    static const QRegularExpression fileName(
        QStringLiteral("^/([a-z0-9-]+\\.(html|js|css|svg|png|webmanifest))$"));
    // The page's own addresses (a device, the account) load the page, which draws them.
    static const QRegularExpression pageAddress(
        QStringLiteral("^/(devices/[0-9a-fA-F-]{36}|account)$"));
    const QString name = path == QLatin1String("/") || pageAddress.match(path).hasMatch()
                             ? QStringLiteral("index.html")
                             : fileName.match(path).captured(1);
    if (name.isEmpty()) {
        throw ContractError("not_found");
    }
    QFile file(options_.dashboard.filePath(name));
    if (!file.open(QIODevice::ReadOnly)) {
        throw ContractError("not_found");
    }
    static const std::map<QString, QByteArray> types{
        {QStringLiteral("html"), QByteArrayLiteral("text/html; charset=utf-8")},
        {QStringLiteral("js"), QByteArrayLiteral("text/javascript; charset=utf-8")},
        {QStringLiteral("css"), QByteArrayLiteral("text/css; charset=utf-8")},
        {QStringLiteral("svg"), QByteArrayLiteral("image/svg+xml")},
        {QStringLiteral("png"), QByteArrayLiteral("image/png")},
        {QStringLiteral("webmanifest"), QByteArrayLiteral("application/manifest+json")},
    };
    RelayHttpResponse response;
    response.contentType = types.at(name.section(QLatin1Char('.'), -1));
    response.body = file.readAll();
    return response;
}

} // namespace corvane
