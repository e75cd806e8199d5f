#include "relay/RelayServer.h"

#include "core/CommandFeedback.h"
#include "core/ContractError.h"
#include "core/ContractValidator.h"
#include "core/Uuid.h"
#include "core/WireTime.h"
#include "mcp/McpToolCatalog.h"
#include "relay/NetworkDeviceLink.h"
#include "relay/RelayMcpEndpoint.h"
#include "relay/RelayNetwork.h"
#include "relay/RelayOAuthHttp.h"
#include "relay/RelaySecrets.h"
#include "relay/RelayStoreError.h"
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

RelayNetwork::Limits limitsOf(const RelayServer::Options& options) {
    RelayNetwork::Limits limits;
    limits.perAddress = options.connectionsPerAddress;
    return limits;
}

} // namespace

RelayServer::RelayServer(RelayStore& store, Clock& clock, const ContractValidator& validator,
                         Options options)
    : store_(store)
    , clock_(clock)
    , validator_(validator)
    , pairing_(store, clock, validator)
    , accounts_(store, clock)
    , hub_(store, clock, validator)
    , events_(clock)
    , codeRequests_(clock, codesPerAddress, RelayPairing::lifetime)
    , wrongCodes_(clock, wrongCodesPerAccount, RelayPairing::lifetime)
    , options_(std::move(options)) {
    network_ = std::make_unique<RelayNetwork>(
        options_.tls, [this](const RelayHttpRequest& request) { return dispatch(request); },
        [this](std::shared_ptr<RelayWebSocketSession> socket, const std::string& deviceHeader) {
            return std::make_unique<NetworkDeviceLink>(std::move(socket), hub_, deviceHeader);
        },
        limitsOf(options_));
    if (options_.oauth != nullptr) {
        oauth_ = std::make_unique<RelayOAuthHttp>(*options_.oauth, store_, accounts_, clock_,
                                                  options_.dashboard);
        mcp_ = std::make_unique<RelayMcpEndpoint>(*oauth_, hub_, store_, clock_,
                                                  McpToolCatalog::fromJSON(validator_.root()));
    }
    hub_.observe(this);
    sweeper_.setInterval(1000);
    QObject::connect(&sweeper_, &QTimer::timeout, this, [this] {
        hub_.sweep();
        events_.tick();
        // Expired codes go even when nobody asks for a new one.
        if (++sweeps_ % 60 == 0) {
            try {
                pairing_.purgeExpired();
            } catch (const std::exception& error) {
                qWarning("relay: expired pairings not removed: %s", error.what());
            }
        }
    });
}

RelayServer::~RelayServer() {
    sweeper_.stop();
    hub_.observe(nullptr);
    // The sinks post to the network thread, which goes next.
    events_.endAll();
    mcp_.reset();
    // The links tell the hub they ended, so they go while it is still here.
    network_.reset();
}

quint16 RelayServer::listen(const QHostAddress& address, quint16 port) {
    const quint16 bound = network_->listen(address, port);
    if (bound != 0) {
        sweeper_.start();
    }
    return bound;
}

RelayHttpResponse RelayServer::dispatch(const RelayHttpRequest& request) {
    const QString path = request.path;
    try {
        if (oauth_ && RelayOAuthHttp::handles(path)) {
            return oauth_->answer(request);
        }
        if (mcp_ && RelayMcpEndpoint::handles(path)) {
            return mcp_->answer(request);
        }
        if (path.startsWith(QLatin1String("/v1/"))) {
            return api(request, path);
        }
        if (request.method != "GET") {
            throw ContractError("method_not_allowed");
        }
        return dashboardFile(path);
    } catch (const ContractError& error) {
        return refusal(error.code());
    } catch (const RelayStoreError& error) {
        qWarning("relay: %s %s failed: %s", qPrintable(request.path),
                 request.method == "GET" ? "GET" : "POST", error.what());
        return refusal("relay_storage_failed");
    } catch (const std::exception& error) {
        qWarning("relay: %s %s failed: %s", qPrintable(request.path),
                 request.method == "GET" ? "GET" : "POST", error.what());
        return refusal("relay_failed");
    }
}

RelayHttpResponse RelayServer::api(const RelayHttpRequest& request, const QString& path) {
    const bool post = request.method == "POST";
    const bool get = request.method == "GET";
    if (!post && !get) {
        throw ContractError("method_not_allowed");
    }

    // The computer's pairing calls carry a bearer token, never a cookie.
    if (path.startsWith(QLatin1String("/v1/pairing/"))) {
        if (!post) {
            throw ContractError("method_not_allowed");
        }
        const JSON body = bodyOf(request);
        if (path == QLatin1String("/v1/pairing/code")) {
            const std::string block = RelayRateLimit::addressBlock(request.remote);
            if (codeRequests_.limited(block)) {
                throw ContractError("rate_limited");
            }
            JSON reply = pairing_.code(body, block);
            codeRequests_.note(block);
            return jsonAnswer(reply);
        }
        const std::string bearer = bearerOf(request);
        if (bearer.empty()) {
            throw ContractError("unauthorized");
        }
        if (path == QLatin1String("/v1/pairing/redeem")) {
            JSON reply = pairing_.redeem(bearer, body);
            if (const std::optional<RelayStore::Device> device =
                    store_.device(*reply.stringMember("device_id"))) {
                devicesChanged(device->accountId, "added");
            }
            return jsonAnswer(reply);
        }
        if (path == QLatin1String("/v1/pairing/cancel")) {
            pairing_.cancel(bearer);
            return jsonAnswer(JSON(JSON::Object{}));
        }
        throw ContractError("not_found");
    }

    // Everything below belongs to the dashboard: same origin only.
    const QByteArray origin = request.header("origin");
    if (!origin.isEmpty() && origin != "https://" + request.header("host")) {
        throw ContractError("csrf_failed");
    }
    if (path == QLatin1String("/v1/account/setup") && post) {
        const JSON body = bodyOf(request);
        const RelayAccounts::Session session =
            accounts_.setUp(stringIn(body, "token"), stringIn(body, "name"),
                            stringIn(body, "password"), browserOf(request));
        return signedIn(session);
    }
    if (path == QLatin1String("/v1/account/join") && post) {
        const JSON body = bodyOf(request);
        const RelayAccounts::Session session =
            accounts_.join(stringIn(body, "token"), stringIn(body, "name"),
                           stringIn(body, "password"), browserOf(request));
        return signedIn(session);
    }
    if (path == QLatin1String("/v1/account/sign-in") && post) {
        const JSON body = bodyOf(request);
        const std::string name = stringIn(body, "name");
        const std::optional<RelayAccounts::Session> current = accounts_.session(cookieOf(request));
        const RelayAccounts::Session session = accounts_.signIn(
            name, stringIn(body, "password"), RelayRateLimit::addressBlock(request.remote),
            current.has_value() && current->name == name, browserOf(request));
        return signedIn(session);
    }

    const std::string cookie = cookieOf(request);
    const std::optional<RelayAccounts::Session> session = accounts_.session(cookie);
    if (!session) {
        throw ContractError("unauthorized");
    }
    if (post) {
        const QByteArray csrf = request.header("x-csrf-token");
        if (!RelaySecrets::same(csrf.toStdString(), session->csrf)) {
            throw ContractError("csrf_failed");
        }
    }
    const std::int64_t account = session->accountId;
    const std::string sessionKey = RelaySecrets::digest(cookie);

    if (path == QLatin1String("/v1/account")) {
        if (!get) {
            throw ContractError("method_not_allowed");
        }
        return jsonAnswer(sessionAnswer(*session));
    }
    if (path == QLatin1String("/v1/events")) {
        if (!get) {
            throw ContractError("method_not_allowed");
        }
        // A GET, yet it must carry the page's token: another site's page can neither send the
        // header nor read the answer, so only the dashboard itself opens a stream.
        if (!RelaySecrets::same(request.header("x-csrf-token").toStdString(), session->csrf)) {
            throw ContractError("csrf_failed");
        }
        return eventStream(*session, sessionKey);
    }
    if (path == QLatin1String("/v1/account/sessions") && get) {
        JSON::Array sessions;
        for (const RelayAccounts::Listed& listed : accounts_.sessionsOf(session->personId)) {
            sessions.emplace_back(
                JSON::Object{{"id", JSON(listed.key.substr(0, 16))},
                             {"browser", JSON(listed.session.browser)},
                             {"started_at", JSON(WireTime::text(listed.session.startedAt))},
                             {"current", JSON(listed.key == sessionKey)}});
        }
        return jsonAnswer(JSON(JSON::Object{{"sessions", JSON(std::move(sessions))}}));
    }
    if (path == QLatin1String("/v1/account/sign-out-others") && post) {
        const std::size_t ended =
            endSessions(accounts_.signOutOthers(session->personId, sessionKey));
        return jsonAnswer(JSON(JSON::Object{{"ended", JSON(static_cast<double>(ended))}}));
    }
    if (path == QLatin1String("/v1/account/password") && post) {
        const JSON body = bodyOf(request);
        accounts_.changePassword(*session, stringIn(body, "current"), stringIn(body, "password"));
        // Whoever knew the old password is signed out; this page stays.
        endSessions(accounts_.signOutOthers(session->personId, sessionKey));
        return jsonAnswer(JSON(JSON::Object{}));
    }
    if (path == QLatin1String("/v1/account/people") && get) {
        JSON::Array people;
        for (const RelayStore::Account& person : store_.peopleOf(account)) {
            people.emplace_back(JSON::Object{{"id", JSON(static_cast<double>(person.id))},
                                             {"name", JSON(person.name)},
                                             {"role", JSON(person.memberOf ? "member" : "owner")},
                                             {"you", JSON(person.id == session->personId)}});
        }
        return jsonAnswer(JSON(JSON::Object{{"people", JSON(std::move(people))}}));
    }
    if (path == QLatin1String("/v1/account/invite") && post) {
        const std::string token = accounts_.invite(*session);
        return jsonAnswer(JSON(JSON::Object{
            {"token", JSON(token)},
            {"expires_at", JSON(WireTime::text(clock_.now() + RelayAccounts::inviteLifetime))}}));
    }
    if (path == QLatin1String("/v1/account/people/remove") && post) {
        const JSON body = bodyOf(request);
        const JSON* id = body.find("id");
        const std::optional<double> number = id != nullptr ? id->number() : std::nullopt;
        // Anything but a whole number within a double's exact range is refused before the cast.
        if (!number || *number < 1 || *number > 9007199254740991.0 ||
            *number != static_cast<double>(static_cast<std::int64_t>(*number))) {
            throw ContractError("invalid_request");
        }
        endSessions(accounts_.remove(*session, static_cast<std::int64_t>(*number)));
        return jsonAnswer(JSON(JSON::Object{}));
    }
    if (path == QLatin1String("/v1/account/sign-out") && post) {
        events_.endSession(sessionKey);
        accounts_.signOut(cookie);
        RelayHttpResponse answer = jsonAnswer(JSON(JSON::Object{}));
        setCookie(answer, "", 0);
        return answer;
    }
    if ((path == QLatin1String("/v1/pairings/approve") ||
         path == QLatin1String("/v1/pairings/lookup")) &&
        post) {
        const std::string guesser = std::to_string(account);
        if (wrongCodes_.limited(guesser)) {
            throw ContractError("rate_limited");
        }
        try {
            const std::string code = stringIn(bodyOf(request), "code");
            if (path == QLatin1String("/v1/pairings/lookup")) {
                // What the person checks against the computer in front of them before approving.
                const RelayStore::Pairing pairing = pairing_.pending(code);
                return jsonAnswer(
                    JSON(JSON::Object{{"code", JSON(pairing.code)},
                                      {"device_name", JSON(pairing.deviceName)},
                                      {"kind", JSON("mac")},
                                      {"agent_version", JSON(pairing.agentVersion)},
                                      {"requested_at", JSON(WireTime::text(pairing.requestedAt))},
                                      {"expires_at", JSON(WireTime::text(pairing.expiresAt))}}));
            }
            const std::string deviceId = pairing_.approve(code, account);
            devicesChanged(account, "approved");
            return jsonAnswer(JSON(JSON::Object{{"device_id", JSON(deviceId)}}));
        } catch (const ContractError& error) {
            if (error.code() == "pairing_not_found") {
                wrongCodes_.note(guesser);
            }
            throw;
        }
    }
    if (path == QLatin1String("/v1/devices") && get) {
        JSON::Array devices;
        for (const RelayStore::Device& device : store_.devicesOf(account)) {
            JSON view = deviceView(device.id, device.name, nullptr);
            if (const std::optional<DeviceHub::Live> live = hub_.live(device.id)) {
                view = deviceView(device.id, device.name, &*live);
            }
            view.object()->emplace("paired_at", JSON(WireTime::text(device.pairedAt)));
            devices.emplace_back(std::move(view));
        }
        return jsonAnswer(JSON(JSON::Object{{"devices", JSON(std::move(devices))}}));
    }
    static const QRegularExpression devicePath(
        QStringLiteral("^/v1/devices/([0-9a-fA-F-]{36})/(commands|audit|revoke|rename)$"));
    if (const QRegularExpressionMatch match = devicePath.match(path); match.hasMatch()) {
        const std::string deviceId = match.captured(1).toStdString();
        const QString what = match.captured(2);
        const std::optional<RelayStore::Device> device = store_.device(deviceId);
        if (!device || device->accountId != account) {
            throw ContractError("device_not_found");
        }
        if (what == QLatin1String("commands") && post) {
            const JSON body = bodyOf(request);
            const JSON* params = body.find("params");
            const std::string id = hub_.send(account, deviceId, stringIn(body, "action"),
                                             params != nullptr ? *params : JSON(JSON::Object{}));
            return jsonAnswer(JSON(JSON::Object{{"command_id", JSON(id)}}), 202);
        }
        if (what == QLatin1String("audit") && get) {
            JSON::Array rows;
            for (const RelayStore::Audit& audit : store_.auditOf(deviceId, 100)) {
                rows.push_back(auditView(audit));
            }
            return jsonAnswer(JSON(JSON::Object{{"audit", JSON(std::move(rows))}}));
        }
        if (what == QLatin1String("revoke") && post) {
            if (!session->owner()) {
                throw ContractError("owner_only");
            }
            hub_.revoke(deviceId);
            devicesChanged(account, "removed");
            return jsonAnswer(JSON(JSON::Object{}));
        }
        if (what == QLatin1String("rename") && post) {
            const std::string name = deviceName(bodyOf(request));
            store_.renameDevice(deviceId, name);
            devicesChanged(account, "renamed");
            return jsonAnswer(JSON(JSON::Object{{"name", JSON(name)}}));
        }
        throw ContractError("method_not_allowed");
    }
    static const QRegularExpression commandPath(
        QStringLiteral("^/v1/commands/([0-9a-fA-F-]{36})$"));
    if (const QRegularExpressionMatch match = commandPath.match(path); match.hasMatch() && get) {
        const std::optional<DeviceHub::Command> command =
            hub_.command(account, match.captured(1).toStdString());
        if (!command) {
            throw ContractError("not_found");
        }
        return jsonAnswer(commandView(*command));
    }
    throw ContractError("not_found");
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
    try {
        events_.publish(live.accountId, "device", deviceView(deviceId, {}, &live));
    } catch (const std::exception& error) {
        qWarning("relay: device change not told: %s", error.what());
    }
}

void RelayServer::commandChanged(const DeviceHub::Command& command) {
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
