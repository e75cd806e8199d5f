#include "agent/Agent.h"

#include "agent/AgentDetail.h"

#include "actions/LocalHTTPServer.h"
#include "actions/LocalHTTPServerError.h"
#include "actions/ShortcutAllowlist.h"
#include "core/CommandFeedback.h"
#include "core/CommandGate.h"
#include "core/ContractError.h"
#include "core/DamagedFileError.h"
#include "core/Detached.h"
#include "core/Envelope.h"
#include "core/InstalledFile.h"
#include "core/Uuid.h"
#include "core/WireTime.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <coroutine>
#include <exception>

#ifndef CORVANE_RELAY_ORIGIN
#define CORVANE_RELAY_ORIGIN ""
#endif
#ifndef CORVANE_DASHBOARD_ORIGIN
#define CORVANE_DASHBOARD_ORIGIN ""
#endif

namespace corvane {

using namespace agent_detail;

namespace {

// Messages and bodies are built outside the coroutines: GCC 12 miscompiles braced member lists
// with literal keys inside a coroutine body.
JSON deliveredMessage(const std::string& id, WireTime::Instant now) {
    return envelope("delivered", JSON::Object{{"command_id", JSON(id)}}, now);
}

// The local command: a fresh id and a deadline 15 seconds ahead, recorded in the log with it.
JSON localCommandMessage(const std::string& id, const std::string& action, const JSON& params,
                         WireTime::Instant now) {
    return envelope("command",
                    JSON::Object{{"command_id", JSON(id)},
                                 {"action", JSON(action)},
                                 {"params", params},
                                 {"expires_at", JSON(WireTime::text(now + Agent::localDeadline))}},
                    now);
}

ContractValidator loadValidator(const QString& schema) {
    if (schema.isEmpty() || !QFileInfo(schema).isFile()) {
        throw ContractError("schema_missing");
    }
    return ContractValidator(schema);
}

bool inDynamicRange(std::int64_t port) {
    return port >= Agent::dynamicPortFirst && port <= Agent::dynamicPortLast;
}

} // namespace

std::filesystem::path Agent::defaultDirectory() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return std::filesystem::path(base.toStdString()) / "Corvane";
}

QString Agent::schemaBeside(const QString& applicationDir) {
    return InstalledFile::find(applicationDir, QStringLiteral("resources/v1.schema.json"),
                               QStringLiteral("velto"), QStringLiteral("v1.schema.json"));
}

std::string Agent::builtRelayOrigin() {
    return CORVANE_RELAY_ORIGIN;
}

std::string Agent::builtDashboardOrigin() {
    return CORVANE_DASHBOARD_ORIGIN;
}

Agent::Agent(Platform platform, std::shared_ptr<CredentialVault> vault, Paths paths,
             Options options, QObject* parent)
    : QObject(parent)
    , platform_(platform)
    , vault_(std::move(vault))
    , options_(std::move(options))
    , relay_(platform_.defaults.stringValue("relay").value_or(options_.relayOrigin))
    , shortcuts_(
          platform_.defaults.stringListValue("shortcuts").value_or(std::vector<std::string>{}))
    , executor_(platform_, options_.handlers)
    , directory_(std::move(paths.directory))
    , validator_(loadValidator(paths.schema))
    , ledger_(directory_ / "dedup.json")
    , revocation_(directory_ / "revocation.json")
    , log_(directory_ / "commands.jsonl",
           options_.logCalls.value_or(LocalForensicLog::Calls::system())) {
    pending_ = revocation_.pending();

    // Sleep and session switches; the connections end with the Agent.
    QObject::connect(&platform_.workspace, &Workspace::willSleep, this, &Agent::suspend);
    QObject::connect(&platform_.workspace, &Workspace::sessionDidResignActive, this,
                     &Agent::suspend);
    QObject::connect(&platform_.workspace, &Workspace::didWake, this, &Agent::resume);
    QObject::connect(&platform_.workspace, &Workspace::sessionDidBecomeActive, this,
                     &Agent::resume);

    // The port stays the same across launches so that local scripts keep working. Written only
    // when it changes, so an unwritable configuration folder fails the start only when a new port
    // could not be remembered.
    const std::optional<std::int64_t> stored = platform_.defaults.integerValue("local-port");
    localPort_ = stored && inDynamicRange(*stored) ? quint16(*stored) : randomPort();
    if (stored != std::optional<std::int64_t>(localPort_)) {
        platform_.defaults.setInteger("local-port", localPort_);
    }

    screenState_ = platform_.sessionLock.state();
    QObject::connect(&platform_.sessionLock, &SessionLock::changed, this, &Agent::observeScreen);
    QObject::connect(&platform_.sessionLock, &SessionLock::readFailed, this,
                     [this](const QString& reason) {
                         // The session lock's watch lives on and reads again at its next tick.
                         report("reading the lock state failed: " + reason.toStdString());
                     });

    status_ = pending_ ? std::string(RevocationState::warning) : "Opening secure connection keys…";
}

Agent::~Agent() {
    // The relay tasks stop at their next check; requests still under way end now, while every
    // member is still there for their callers to see the task cancelled.
    worker_.cancel();
    ++generation_;
    closeSocket();
    relayClient_.reset();
    // Stop the listener first: its handlers must not reach a half-destroyed Agent. The worker
    // threads are waited for by their own destructors, before the files they write go.
    localServer_.reset();
}

RelayClient& Agent::relayClient() {
    // Made on first use: the TLS backend it loads costs about 4 MB that an agent without a relay
    // never needs.
    if (!relayClient_) {
        relayClient_ =
            options_.relayTrust
                ? std::make_unique<RelayClient>(platform_.clock, options_.relayTrust)
                : std::make_unique<RelayClient>(platform_.clock,
                                                RelayClient::trusting(options_.relayCertificates));
    }
    return *relayClient_;
}

void Agent::setStatus(std::string_view text) {
    publish(Field::Status, status_, std::string(text));
}

void Agent::setLastCommand(std::string_view text) {
    publish(Field::LastCommand, lastCommand_, std::string(text));
}

double Agent::randomSample() const {
    if (options_.random) {
        return options_.random();
    }
    return QRandomGenerator::global()->generateDouble();
}

std::chrono::milliseconds Agent::reconnectWait(std::chrono::milliseconds cap) const {
    const double span = double((cap - reconnectFloor).count());
    const double sample = std::clamp(randomSample(), 0.0, 1.0);
    return reconnectFloor + std::chrono::milliseconds(std::llround(span * sample));
}

bool Agent::current(const TaskHandle& handle, std::uint64_t generation) const noexcept {
    return !handle.cancelled() && generation_ == generation;
}

quint16 Agent::randomPort() const {
    if (options_.randomPort) {
        return options_.randomPort();
    }
    return quint16(dynamicPortFirst + QRandomGenerator::system()->bounded(16384));
}

void Agent::report(const std::string& text) const {
    if (!options_.report) {
        return;
    }
    try {
        options_.report(text);
    } catch (...) {
        // Telling the cause must never become a failure of its own.
    }
}

std::string Agent::failureCode(std::exception_ptr error) {
    const std::string cause = causeOf(error);
    if (!cause.empty()) {
        report(cause);
    }
    try {
        std::rethrow_exception(error);
    } catch (const DamagedFileError& damaged) {
        // Every command is refused until a person repairs or removes the file: say which.
        setStatus(damagedFileText(damaged));
    } catch (...) {
    }
    return codeOf(std::move(error));
}

std::string Agent::damagedFileText(const DamagedFileError& error) {
    std::string text = "Damaged file " + error.file().string();
    if (error.line() > 0) {
        text += ", line " + std::to_string(error.line());
    }
    return text + ": repair or remove it.";
}

std::string Agent::failureText(std::exception_ptr error) {
    return std::string(CommandFeedback::error(failureCode(std::move(error))));
}

QCoro::Task<> Agent::durably(std::function<void()> write) {
    return io_.run<void>(std::move(write));
}

QCoro::Task<> Agent::logOutcome(JSON command, std::string outcome) {
    LocalForensicLog* log = &log_;
    const WireTime::Instant now = platform_.clock.now();
    return durably([log, command = std::move(command), outcome = std::move(outcome), now] {
        log->append(command, outcome, now);
    });
}

std::string Agent::answerCode(const JSON& body) {
    if (const JSON* error = body.find("error")) {
        if (const std::string* code = error->stringMember("code")) {
            return *code;
        }
    }
    return "action_failed";
}

LocalHTTPHandler Agent::localHandler() {
    return [agent = QPointer<Agent>(this)](JSON body) {
        return handleLocalRequest(agent, std::move(body));
    };
}

QCoro::Task<LocalHTTPResponse> Agent::handleLocalRequest(QPointer<Agent> agent, JSON body) {
    if (!agent) {
        co_return LocalHTTPResponse{503, emptyObject()};
    }
    co_return co_await agent->localCommand(std::move(body));
}

std::uint64_t Agent::beginSession(std::shared_ptr<RelaySocket> socket) {
    closeSocket();
    ++generation_;
    socket_ = std::move(socket);
    return generation_;
}

void Agent::closeSocket() {
    if (std::shared_ptr<RelaySocket> socket = std::move(socket_)) {
        socket_.reset();
        socket->close(goingAway);
    }
}

// ---- Pipeline --------------------------------------------------------------------------------

void Agent::checkFence(const Route& route) const {
    if ((route.relay() && *route.generation != generation_) || pending_ || suspended_) {
        throw ContractError("session_changed");
    }
}

QCoro::Task<JSON> Agent::performAction(std::string action, JSON params, Route route) {
    std::vector<std::string> shortcuts = shortcuts_;
    // Held weakly: an answer may come after the Agent went.
    ActionExecutor::Fence fence = [self = QPointer<Agent>(this), route] {
        if (!self) {
            throw ContractError("session_changed");
        }
        self->checkFence(route);
    };
    if (options_.execute) {
        // A copy, so that the callable outlives the call even if the Agent does not.
        const Execute execute = options_.execute;
        co_return co_await execute(executor_, std::move(action), std::move(params),
                                   std::move(shortcuts), std::move(fence));
    }
    co_return co_await executor_.executeGuarded(std::move(action), std::move(params),
                                                std::move(shortcuts), std::move(fence));
}

JSON Agent::privacyChecked(JSON result, const std::string& action) const {
    if (action != "get_state" && action != "desktop_observe") {
        return result;
    }
    // Read after the action ran: what was gathered just before the screen locked is withheld.
    const ScreenState state = platform_.sessionLock.state();
    if (std::optional<JSON> replacement = CommandGate::lockedResult(action, lockedValue(state))) {
        return std::move(*replacement);
    }
    return result;
}

QCoro::Task<> Agent::send(JSON message) {
    validator_.validate("DeviceMessage", message);
    if (!socket_) {
        throw ContractError("device_offline");
    }
    std::string text = message.data();
    // The socket stays alive for the send even if the session drops it meanwhile; nothing of the
    // Agent's is touched once the send suspends (the Agent may be gone after it).
    const std::shared_ptr<RelaySocket> socket = socket_;
    co_await socket->sendText(std::move(text));
}

QCoro::Task<JSON> Agent::pipeline(JSON command, Route route, std::shared_ptr<bool> logged) {
    QPointer<Agent> self(this);
    const auto gone = [&self] {
        if (!self) {
            throw ContractError("session_changed");
        }
    };
    Clock& clock = platform_.clock;
    const std::string id = *command.stringMember("command_id");
    const std::string action = *command.stringMember("action");

    checkFence(route);
    if (route.relay()) {
        CommandGate::checkDeadline(command, clock.now());
    }
    {
        // Local commands carry an id made here that can never repeat: they are not reserved, so
        // they cannot push relay ids out of the ledger.
        DedupLedger* ledger = route.relay() ? &ledger_ : nullptr;
        LocalForensicLog* log = &log_;
        // An action that changes the computer runs only when its outcome can still be logged: a
        // caller told "failed" would run it again.
        const WireTime::Instant now = clock.now();
        const std::size_t room =
            ActionExecutor::readsOnly(action)
                ? 0
                : 2 * LocalForensicLog::recordSize(command, storageFailure, now);
        std::function<void()> receive = [ledger, log, room, command, id, now] {
            if (ledger != nullptr) {
                ledger->reserve(id, now);
            }
            if (room > 0) {
                log->ensureRoom(room);
            }
            log->append(command, "received", now);
        };
        co_await durably(std::move(receive));
    }
    gone();
    *logged = true;

    if (route.relay()) {
        co_await send(deliveredMessage(id, clock.now()));
        gone();
        checkFence(route);
        CommandGate::checkDeadline(command, clock.now());
    }

    const JSON* params = command.find("params");
    if (params == nullptr) {
        throw ContractError("invalid_message");
    }
    JSON result = co_await performAction(action, *params, route);
    gone();
    JSON checked = privacyChecked(std::move(result), action);
    if (route.relay()) {
        checkFence(route);
    }
    validator_.validate("ActionResult", checked);
    co_await logOutcome(command, "succeeded");
    gone();
    co_return checked;
}

QCoro::Task<> Agent::execute(JSON command, std::uint64_t generation) {
    const std::string* id = command.stringMember("command_id");
    const std::string* action = command.stringMember("action");
    if (id == nullptr || action == nullptr) {
        throw ContractError("invalid_message");
    }
    const std::string commandId = *id;
    const std::string actionName = *action;
    QPointer<Agent> self(this);

    std::exception_ptr failure;
    try {
        const JSON checked =
            co_await pipeline(command, Route{generation}, std::make_shared<bool>(false));
        if (!self) {
            throw ContractError("session_changed");
        }
        setLastCommand(CommandFeedback::success(actionName, checked));
        co_await send(envelope("result", successResult(commandId, checked), platform_.clock.now()));
        co_return;
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self) {
        throw ContractError(codeOf(failure));
    }
    const std::string code = failureCode(failure);
    setLastCommand(CommandFeedback::error(code));
    co_await logOutcome(command, code);
    if (!self) {
        throw ContractError(code);
    }
    co_await send(envelope("result", failureResult(commandId, code), platform_.clock.now()));
}

QCoro::Task<LocalHTTPResponse> Agent::localCommand(JSON body) {
    QPointer<Agent> self(this);
    auto logged = std::make_shared<bool>(false);
    std::optional<JSON> command;
    std::exception_ptr failure;
    try {
        validator_.validate("LocalCommandRequest", body);
        const std::string* action = body.stringMember("action");
        const JSON* params = body.find("params");
        if (action == nullptr || params == nullptr) {
            throw ContractError("invalid_message");
        }
        checkFence(Route{});
        const WireTime::Instant now = platform_.clock.now();
        command = localCommandMessage(Uuid::make(), *action, *params, now);
        JSON checked = co_await pipeline(*command, Route{}, logged);
        co_return LocalHTTPResponse{200, std::move(checked)};
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self) {
        co_return LocalHTTPResponse{503, emptyObject()};
    }
    const std::string code = failureCode(failure);
    if (*logged) {
        try {
            co_await logOutcome(*command, code);
        } catch (...) {
            // The answer still goes out; the log's own failure is only reported.
            if (self) {
                failureCode(std::current_exception());
            }
        }
    }
    if (!self) {
        co_return LocalHTTPResponse{503, emptyObject()};
    }
    co_return LocalHTTPResponse{409, localError(code, CommandFeedback::error(code))};
}

void Agent::runLocalAction(std::string action, JSON params) {
    if (actionRunning_) {
        return;
    }
    publish(Field::ActionRunning, actionRunning_, true);
    setLastCommand("Working…");
    startDetached(windowAction(QPointer<Agent>(this), std::move(action), std::move(params)),
                  [agent = QPointer<Agent>(this)](std::exception_ptr error) {
                      if (agent) {
                          agent->setLastCommand(agent->failureText(error));
                          agent->publish(Field::ActionRunning, agent->actionRunning_, false);
                      }
                  });
}

QCoro::Task<> Agent::windowAction(QPointer<Agent> agent, std::string action, JSON params) {
    const LocalHTTPResponse answer =
        co_await agent->localCommand(requestBody(action, std::move(params)));
    if (!agent) {
        co_return;
    }
    if (answer.status == 200) {
        agent->setLastCommand(CommandFeedback::success(action, answer.body));
    } else {
        agent->setLastCommand(CommandFeedback::error(answerCode(answer.body)));
    }
    agent->publish(Field::ActionRunning, agent->actionRunning_, false);
}

} // namespace corvane
