#include "relay/RelayServer.h"

#include "relay/RelayServerReplies.h"

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
#include "relay/RelayDeviceToolCaller.h"
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

using namespace relayreplies;

namespace {

template <typename Shared, typename Own>
std::unique_ptr<Shared> unlessShared(Shared* shared) {
    return shared != nullptr ? nullptr : std::make_unique<Own>();
}

DeviceHub::Limits hubLimitsOf(const RelayServer::Options& options) {
    DeviceHub::Limits limits;
    limits.closeLeftOpen = options.presence == nullptr;
    return limits;
}

// A report another relay kept, as the device list shows it; absent when there is none or it
// does not read as one.
std::optional<JSON> reportView(const std::optional<std::string>& report) {
    if (!report) {
        return std::nullopt;
    }
    try {
        JSON view = JSON::parse(*report);
        if (view.isObject()) {
            return view;
        }
    } catch (const std::exception&) {
    }
    qWarning("relay: a device's report from another relay was not read");
    return std::nullopt;
}

RelayNetwork::Limits limitsOf(const RelayServer::Options& options) {
    RelayNetwork::Limits limits;
    limits.perAddress = options.connectionsPerAddress;
    limits.total = options.connections;
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
        oauth_ = std::make_unique<RelayOAuthHttp>(*options_.oauth, store_, accounts_, clock_,
                                                  options_.dashboard);
        RelayDeviceToolCaller::Elsewhere elsewhere;
        if (options_.bus != nullptr) {
            // An assistant's call for a device another relay holds goes as the dashboard's does.
            elsewhere.send = [this](RelayDeviceToolCaller::Target target, RelayStore::Device device,
                                    std::string action, JSON params) {
                return toolCallElsewhere(target.accountId, std::move(device), std::move(action),
                                         std::move(params), std::move(target.assistant));
            };
            elsewhere.report = [this](std::string deviceId) {
                return options_.bus->lastReport(std::move(deviceId));
            };
        }
        mcp_ = std::make_unique<RelayMcpEndpoint>(*oauth_, hub_, store_, clock_,
                                                  McpToolCatalog::fromJSON(validator_.root()),
                                                  std::move(elsewhere));
    }
    hub_.observe(this);
    hub_.writeLater(
        [&store](std::function<void(RelayStore&)> write) { store.later(std::move(write)); });
    if (options_.bus != nullptr) {
        options_.bus->listen({[this](CommandBus::Command command) { carry(std::move(command)); },
                              [this](CommandBus::Result result) { settleSent(std::move(result)); },
                              [](const std::string& failure) {
                                  qWarning("relay: command bus: %s", failure.c_str());
                              },
                              [this](CommandBus::Event event) {
                                  heard(std::move(event));
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
            co_return co_await oauth_->answer(std::move(request));
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
        call.device = co_await store_.read<std::optional<RelayStore::Device>>(std::move(find));
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
            // Its socket may be on another relay, which answers its commands and keeps its last
            // report for the others.
            const std::string deviceId = device.id;
            const std::optional<std::string> holder = co_await options_.presence->holder(deviceId);
            if (options_.bus != nullptr &&
                (!live || (holder && *holder != options_.presence->relayId()))) {
                std::optional<std::string> report = co_await options_.bus->lastReport(deviceId);
                if (std::optional<JSON> reported = reportView(report); reported) {
                    view = std::move(*reported);
                    if (!device.name.empty()) {
                        view.object()->insert_or_assign("name", JSON(device.name));
                    }
                }
            }
            view.object()->insert_or_assign("online", JSON(holder.has_value()));
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
    if (co_await heldElsewhere(call.device->id)) {
        // Named first: temporaries in a co_await's arguments are freed twice on GCC 12.
        QCoro::Task<std::string> elsewhere =
            sendElsewhere(call.session->accountId, *call.device, action, given, {});
        const std::string id = co_await std::move(elsewhere);
        co_return jsonAnswer(JSON(JSON::Object{{"command_id", JSON(id)}}), 202);
    }
    DeviceHub::Outgoing outgoing =
        hub_.prepare(call.session->accountId, *call.device, action, given);
    // Audited before it leaves: no command reaches a device without its row.
    std::function<void(RelayStore&)> audit = [row = outgoing.audit()](RelayStore& stored) {
        stored.addAudit(row);
    };
    co_await store_.write<void>(std::move(audit));
    const std::string id = hub_.dispatch(std::move(outgoing));
    co_return jsonAnswer(JSON(JSON::Object{{"command_id", JSON(id)}}), 202);
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
    publish(accountId, "devices", JSON(JSON::Object{{"reason", JSON(std::string(why))}}));
}

void RelayServer::deviceChanged(const std::string& deviceId, const DeviceHub::Live& live) {
    if (options_.presence != nullptr && !stopping_) {
        if (live.online && claimed_.insert(deviceId).second) {
            claim(deviceId, true);
        } else if (!live.online && claimed_.erase(deviceId) > 0) {
            claim(deviceId, false);
        }
    }
    try {
        publish(live.accountId, "device", deviceView(deviceId, {}, &live), deviceId);
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
        publish(command.accountId, "command", commandView(command));
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
