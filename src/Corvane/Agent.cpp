#include "Corvane/Agent.h"

#include "CorvaneCore/CommandFeedback.h"
#include "CorvaneCore/CommandGate.h"
#include "CorvaneCore/ContractError.h"
#include "CorvaneCore/DamagedFileError.h"
#include "CorvaneCore/Detached.h"
#include "CorvaneCore/Envelope.h"
#include "CorvaneCore/Uuid.h"
#include "CorvaneCore/WireTime.h"
#include "CorvaneNative/LocalHTTPServer.h"
#include "CorvaneNative/LocalHTTPServerError.h"
#include "CorvaneNative/LockStateReader.h"
#include "CorvaneNative/ShortcutAllowlist.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <coroutine>
#include <exception>

#ifndef CORVANE_RELAY_ORIGIN
#define CORVANE_RELAY_ORIGIN ""
#endif

namespace corvane {

namespace {

constexpr std::string_view storageFailure = "connection_or_storage_failed";

// The code a caller sees for whatever was thrown.
std::string codeOf(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const ContractError& e) {
        return e.code();
    } catch (...) {
        return std::string(storageFailure);
    }
}

// What stands behind a code: the file, the call and the system's reason of a storage failure, or
// the damaged file behind a contract code; empty when the code says it all.
std::string causeOf(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const ContractError& e) {
        return e.code() == std::string_view(e.what()) ? std::string() : std::string(e.what());
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "an unknown error";
    }
}

JSON emptyObject() {
    return JSON(JSON::Object{});
}

// Messages and bodies are built outside the coroutines: GCC 12 miscompiles braced member lists
// with literal keys inside a coroutine body.
JSON deliveredMessage(const std::string& id, WireTime::Instant now) {
    return envelope("delivered", JSON::Object{{"command_id", JSON(id)}}, now);
}

JSON requestBody(const std::string& action, JSON params) {
    return JSON(JSON::Object{{"action", JSON(action)}, {"params", std::move(params)}});
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

bool addressInUse(const LocalHTTPServerError& error) {
    return error.errorNumber() == EADDRINUSE;
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
    const QDir dir(applicationDir);
    const QString beside = dir.filePath(QStringLiteral("resources/v1.schema.json"));
    const QString installed = dir.filePath(QStringLiteral("../share/Corvane/v1.schema.json"));
    if (!QFileInfo(beside).isFile() && QFileInfo(installed).isFile()) {
        return QDir::cleanPath(installed);
    }
    return beside;
}

std::string Agent::builtRelayOrigin() {
    return CORVANE_RELAY_ORIGIN;
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

    screenState_ = LockStateReader::read(platform_.console);
    stateMonitor_ = TaskHandle::make();
    startDetached(monitorScreen(QPointer<Agent>(this), stateMonitor_, &platform_.clock),
                  [agent = QPointer<Agent>(this)](std::exception_ptr error) {
                      if (agent) {
                          agent->report("the lock-state monitor stopped: " + causeOf(error));
                      }
                  });

    status_ = pending_ ? std::string(RevocationState::warning) : "Opening secure connection keys…";
}

Agent::~Agent() {
    stateMonitor_.cancel();
    // Stop the listener first: its handlers must not reach a half-destroyed Agent. The worker
    // threads are waited for by their own destructors, before the files they write go.
    localServer_.reset();
}

template <typename T>
void Agent::publish(Field field, T& member, T value) {
    if (member == value) {
        return;
    }
    Q_EMIT aboutToChange(field);
    member = std::move(value);
    Q_EMIT changed(field);
}

void Agent::setStatus(std::string_view text) {
    publish(Field::Status, status_, std::string(text));
}

void Agent::setLastCommand(std::string_view text) {
    publish(Field::LastCommand, lastCommand_, std::string(text));
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

// ---- Lifecycle -------------------------------------------------------------------------------

QCoro::Task<> Agent::monitorScreen(QPointer<Agent> agent, TaskHandle handle, Clock* clock) {
    while (!handle.cancelled() && agent) {
        co_await clock->sleep(monitorInterval);
        if (handle.cancelled() || !agent) {
            co_return;
        }
        try {
            agent->observeScreen();
        } catch (const std::exception& error) {
            // A failing read must not end the watch: the next tick reads again.
            agent->report(std::string("reading the lock state failed: ") + error.what());
        }
    }
}

void Agent::observeScreen() {
    const ScreenState state = LockStateReader::read(platform_.console);
    if (state == screenState_) {
        return;
    }
    if (state != ScreenState::Unlocked) {
        executor_.desktop().suspend();
    }
    publish(Field::ScreenState, screenState_, state);
    // A report taken in another lock state is not shown.
    publish(Field::DeviceState, deviceState_, std::optional<JSON>());
}

QCoro::Task<> Agent::startConnections(bool allowInteraction) {
    if (openingKeys_ || connectionReady_) {
        co_return;
    }
    QPointer<Agent> self(this);
    publish(Field::OpeningKeys, openingKeys_, true);
    setStatus("Opening secure connection…");

    std::optional<CredentialVault::Credentials> credentials;
    std::function<CredentialVault::Credentials()> load = [vault = vault_, allowInteraction] {
        return vault->load(allowInteraction);
    };
    try {
        credentials = co_await keys_.run(std::move(load));
    } catch (...) {
        // A locked or failing store: local controls keep working without the listener.
        if (self) {
            failureCode(std::current_exception());
        }
    }
    if (!self) {
        co_return;
    }
    if (!credentials) {
        setStatus(keysLockedText);
        publish(Field::OpeningKeys, openingKeys_, false);
        co_return;
    }
    token_ = credentials->device;
    const bool started = co_await startLocalServer(credentials->local);
    if (!self) {
        co_return;
    }
    if (!started) {
        setStatus(keysLockedText);
    } else {
        publish(Field::ConnectionReady, connectionReady_, true);
        if (pending_) {
            setStatus(RevocationState::warning);
        } else if (!token_ && credentials->hasBootstrap) {
            cancelPairing();
        } else if (!suspended_) {
            // While asleep the status keeps saying so; waking connects.
            setStatus("Unpaired");
            connect();
        }
    }
    publish(Field::OpeningKeys, openingKeys_, false);
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

QCoro::Task<bool> Agent::startLocalServer(std::string localToken) {
    QPointer<Agent> self(this);
    const LocalHTTPHandler handler = localHandler();
    bool moved = false;
    for (int attempt = 1;; ++attempt) {
        try {
            auto server = std::make_unique<LocalHTTPServer>(localPort_, localToken, handler);
            server->start();
            localServer_ = std::move(server);
            break;
        } catch (const LocalHTTPServerError& error) {
            if (!addressInUse(error) || attempt == portAttempts) {
                report(std::string("the loopback listener cannot start: ") + error.what());
                co_return false;
            }
        }
        // Another program holds the port: move to another one and remember it, so the next launch
        // does not collide again. Scripts still using the old port would hand the token to
        // whoever holds that port now, so the token does not move with the listener.
        if (!moved) {
            std::function<std::string()> replace = [vault = vault_] {
                return vault->replaceLocalToken();
            };
            std::exception_ptr failure;
            try {
                localToken = co_await keys_.run(std::move(replace));
            } catch (...) {
                failure = std::current_exception();
            }
            if (!self) {
                co_return false;
            }
            if (failure) {
                failureCode(failure);
                co_return false;
            }
            moved = true;
        }
        publish(Field::LocalPort, localPort_, randomPort());
    }
    if (!moved) {
        co_return true;
    }
    report("the loopback port " +
           std::to_string(platform_.defaults.integerValue("local-port").value_or(0)) +
           " is held by another program: moved to " + std::to_string(localPort_) +
           " with a new local API token");
    UserDefaults* defaults = &platform_.defaults;
    const quint16 port = localPort_;
    std::exception_ptr failure;
    try {
        std::function<void()> write = [defaults, port] {
            defaults->setInteger("local-port", port);
        };
        co_await durably(std::move(write));
    } catch (...) {
        failure = std::current_exception();
    }
    if (self && failure) {
        // The listener runs either way; the status tells that the new port was not remembered.
        setStatus(failureText(failure));
    }
    co_return true;
}

QCoro::Task<LocalHTTPResponse> Agent::handleLocalRequest(QPointer<Agent> agent, JSON body) {
    if (!agent) {
        co_return LocalHTTPResponse{503, emptyObject()};
    }
    co_return co_await agent->localCommand(std::move(body));
}

void Agent::pair() {
    // Pairing with the relay is not built yet.
}

void Agent::continuePairing() {
    // Pairing with the relay is not built yet.
}

void Agent::cancelPairing() {
    // Without a relay request to make, the cancellation ends as a successful one does.
    publish(Field::Code, code_, std::string());
    publish(Field::Pairing, pairing_, false);
    setStatus("Unpaired");
}

void Agent::connect() {
    // The relay session is not built yet: nothing to open.
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

void Agent::suspend() {
    executor_.desktop().suspend();
    suspended_ = true;
    publish(Field::Online, online_, false);
    publish(Field::Pairing, pairing_, false);
    ++generation_;
    closeSocket();
    setStatus("Offline — session inactive");
}

void Agent::resume() {
    suspended_ = false;
    if (!connectionReady_) {
        startDetached(startConnections(false), [agent = QPointer<Agent>(this)](std::exception_ptr) {
            // startConnections reports its own failures; only a fault can reach here.
            if (agent) {
                agent->publish(Field::OpeningKeys, agent->openingKeys_, false);
                agent->setStatus(keysLockedText);
            }
        });
    } else {
        connect();
    }
}

void Agent::refreshDeviceState() {
    if (readingState_) {
        return;
    }
    publish(Field::ReadingState, readingState_, true);
    startDetached(readDeviceState(QPointer<Agent>(this)),
                  [agent = QPointer<Agent>(this)](std::exception_ptr error) {
                      if (agent) {
                          agent->setLastCommand(agent->failureText(error));
                          agent->publish(Field::ReadingState, agent->readingState_, false);
                      }
                  });
}

QCoro::Task<> Agent::readDeviceState(QPointer<Agent> agent) {
    const LocalHTTPResponse answer =
        co_await agent->localCommand(requestBody("get_state", emptyObject()));
    if (!agent) {
        co_return;
    }
    if (answer.status == 200) {
        agent->publish(Field::DeviceState, agent->deviceState_, std::optional<JSON>(answer.body));
        agent->setLastCommand(CommandFeedback::success("get_state", answer.body));
    } else {
        agent->setLastCommand(CommandFeedback::error(answerCode(answer.body)));
    }
    agent->publish(Field::ScreenState, agent->screenState_,
                   LockStateReader::read(agent->platform_.console));
    agent->publish(Field::ReadingState, agent->readingState_, false);
}

void Agent::saveShortcut(const std::string& name) {
    if (!ShortcutAllowlist::isValidName(name)) {
        setLastCommand(shortcutRefusedText);
        return;
    }
    std::vector<std::string> updated = shortcuts_;
    if (std::find(updated.begin(), updated.end(), name) == updated.end()) {
        updated.push_back(name);
    }
    saveShortcuts(std::move(updated), true);
}

void Agent::removeShortcut(const std::string& name) {
    std::vector<std::string> updated = shortcuts_;
    std::erase(updated, name);
    saveShortcuts(std::move(updated), false);
}

void Agent::saveShortcuts(std::vector<std::string> updated, bool added) {
    // Shown at once, so that a second change builds on the first; saves run in order.
    publish(Field::Shortcuts, shortcuts_, updated);
    const QPointer<Agent> self(this);
    startDetached(saveShortcutList(self, std::move(updated), added),
                  [self](std::exception_ptr error) {
                      if (self) {
                          self->setLastCommand(self->failureText(error));
                      }
                  });
}

QCoro::Task<> Agent::saveShortcutList(QPointer<Agent> agent, std::vector<std::string> list,
                                      bool added) {
    UserDefaults* defaults = &agent->platform_.defaults;
    std::exception_ptr failure;
    try {
        std::function<void()> write = [defaults, list] {
            defaults->setStringList("shortcuts", list);
        };
        co_await agent->durably(std::move(write));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!agent) {
        co_return;
    }
    if (failure) {
        // What the next launch will see.
        agent->publish(Field::Shortcuts, agent->shortcuts_,
                       defaults->stringListValue("shortcuts").value_or(std::vector<std::string>{}));
        agent->setLastCommand(agent->failureText(failure));
    } else if (added) {
        agent->setLastCommand(shortcutAddedText);
    }
}

QCoro::Task<> Agent::wipe() {
    QPointer<Agent> self(this);
    const auto gone = [&self] {
        if (!self) {
            throw ContractError("session_changed");
        }
    };
    // In memory desktop control stops even when its consent cannot be removed from disk; that
    // failure still stops the wipe here.
    executor_.desktop().stop();
    for (const char* account : {"device-token", "pending-device-token", "bootstrap-token"}) {
        std::function<void()> remove = [vault = vault_, name = std::string(account)] {
            vault->remove(name);
        };
        co_await keys_.run(std::move(remove));
        gone();
    }
    token_.reset();
    publish(Field::Online, online_, false);
    publish(Field::Pairing, pairing_, false);
    RevocationState* revocation = &revocation_;
    std::function<void()> acknowledge = [revocation] {
        revocation->acknowledge();
    };
    co_await durably(std::move(acknowledge));
    gone();
    publish(Field::Pending, pending_, false);
    publish(Field::Code, code_, std::string());
    setStatus("Unpaired — revoked");
    UserDefaults* defaults = &platform_.defaults;
    std::function<void()> forget = [defaults] {
        defaults->remove("device-id");
    };
    co_await durably(std::move(forget));
}

void Agent::revoke() {
    startDetached(revocation(QPointer<Agent>(this), &platform_.clock),
                  [agent = QPointer<Agent>(this)](std::exception_ptr error) {
                      if (agent) {
                          agent->setStatus(agent->failureText(error));
                      }
                  });
}

QCoro::Task<> Agent::revocationWatchdog(QPointer<Agent> agent, TaskHandle handle, Clock* clock) {
    co_await clock->sleep(revocationWait);
    if (!handle.cancelled() && agent && agent->pending_) {
        agent->closeSocket();
    }
}

QCoro::Task<> Agent::revocation(QPointer<Agent> agent, Clock* clock) {
    RevocationState* state = &agent->revocation_;
    std::function<void()> begin = [state] {
        state->begin();
    };
    co_await agent->durably(std::move(begin));
    if (!agent) {
        co_return;
    }
    agent->publish(Field::Pending, agent->pending_, true);
    agent->setStatus(RevocationState::warning);

    const TaskHandle watchdog = TaskHandle::make();
    startDetached(revocationWatchdog(agent, watchdog, clock), {});
    if (agent->socket_) {
        try {
            co_await agent->send(envelope("revoke_self", JSON::Object{}, clock->now()));
        } catch (...) {
            // The local deletion below does not depend on the relay hearing about it.
        }
        if (!agent) {
            watchdog.cancel();
            co_return;
        }
    }
    std::exception_ptr failure;
    try {
        std::function<void()> remove = [vault = agent->vault_] {
            vault->remove("device-token");
        };
        co_await agent->keys_.run(std::move(remove));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!agent) {
        watchdog.cancel();
        co_return;
    }
    if (failure) {
        agent->setStatus(agent->failureText(failure));
    } else {
        agent->token_.reset();
    }
    co_await clock->sleep(revocationWait);
    watchdog.cancel();
    if (agent && agent->pending_) {
        // No confirmation from the relay: give up on the session, the flag stays.
        ++agent->generation_;
        agent->closeSocket();
    }
}

void Agent::confirmDashboardRevocation() {
    const UserPrompts::Answer answer = platform_.prompts.alert(
        "Have you revoked this Mac in the web dashboard?",
        "Only confirm after the dashboard reports revocation. This clears the local warning; it "
        "cannot revoke the old server credential while offline.",
        "I revoked it in the dashboard", "Cancel");
    if (answer != UserPrompts::Answer::First) {
        return;
    }
    startDetached(confirmedWipe(QPointer<Agent>(this)), {});
}

QCoro::Task<> Agent::confirmedWipe(QPointer<Agent> agent) {
    std::exception_ptr failure;
    try {
        co_await agent->wipe();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure && agent) {
        agent->setStatus(agent->failureText(failure));
    }
}

// ---- Pipeline --------------------------------------------------------------------------------

void Agent::checkFence(const Route& route) const {
    if ((route.relay() && *route.generation != generation_) || pending_ || suspended_) {
        throw ContractError("session_changed");
    }
}

QCoro::Task<JSON> Agent::performAction(std::string action, JSON params) {
    std::vector<std::string> shortcuts = shortcuts_;
    if (options_.execute) {
        // A copy, so that the callable outlives the call even if the Agent does not.
        const Execute execute = options_.execute;
        co_return co_await execute(executor_, std::move(action), std::move(params),
                                   std::move(shortcuts));
    }
    co_return co_await executor_.executeGuarded(std::move(action), std::move(params),
                                                std::move(shortcuts));
}

JSON Agent::privacyChecked(JSON result, const std::string& action) const {
    if (action != "get_state" && action != "desktop_observe") {
        return result;
    }
    // Read after the action ran: what was gathered just before the screen locked is withheld.
    const ScreenState state = LockStateReader::read(platform_.console);
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
    // The socket stays alive for the send even if the session drops it meanwhile.
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
    JSON result = co_await performAction(action, *params);
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
