#include "Corvane/Agent.h"

#include "CorvaneCore/CommandFeedback.h"
#include "CorvaneCore/CommandGate.h"
#include "CorvaneCore/ContractError.h"
#include "CorvaneCore/Envelope.h"
#include "CorvaneCore/Uuid.h"
#include "CorvaneCore/WireTime.h"
#include "CorvaneNative/LocalHTTPServer.h"
#include "CorvaneNative/LocalHTTPServerError.h"
#include "CorvaneNative/LockStateReader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <cerrno>
#include <coroutine>
#include <cstring>
#include <exception>
#include <thread>

#ifndef CORVANE_RELAY_ORIGIN
#define CORVANE_RELAY_ORIGIN ""
#endif

namespace corvane {

namespace {

constexpr std::string_view storageFailure = "connection_or_storage_failed";
constexpr std::size_t maxShortcutLength = 200;

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

// Runs `work` on a thread of its own and resumes the awaiting coroutine on the main thread with
// its value or its error. The work shares nothing with the coroutine but the outcome slot.
template <typename T>
class OffThread {
public:
    explicit OffThread(std::function<T()> work)
        : work_(std::move(work))
        , outcome_(std::make_shared<Outcome>()) {}

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> waiting) {
        std::thread([work = std::move(work_), outcome = outcome_, waiting]() {
            try {
                outcome->value = work();
            } catch (...) {
                outcome->error = std::current_exception();
            }
            // The application object outlives the main thread's event loop; without one the
            // coroutine is left suspended, which only happens while the process ends.
            if (QCoreApplication* application = QCoreApplication::instance()) {
                QMetaObject::invokeMethod(
                    application, [waiting] { waiting.resume(); }, Qt::QueuedConnection);
            }
        }).detach();
    }
    T await_resume() {
        if (outcome_->error) {
            std::rethrow_exception(outcome_->error);
        }
        return std::move(*outcome_->value);
    }

private:
    struct Outcome {
        std::optional<T> value;
        std::exception_ptr error;
    };
    std::function<T()> work_;
    std::shared_ptr<Outcome> outcome_;
};

std::function<CredentialVault::Credentials()>
loadCredentials(std::shared_ptr<CredentialVault> vault, bool allowInteraction) {
    return [vault = std::move(vault), allowInteraction] {
        return vault->load(allowInteraction);
    };
}

bool addressInUse(const LocalHTTPServerError& error) {
    return std::string_view(error.what()).find(std::strerror(EADDRINUSE)) != std::string_view::npos;
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

// Names as a person types them: no control characters or line breaks of any kind, and at most
// 200 user-perceived characters.
bool acceptableShortcut(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    const QString text = QString::fromUtf8(name.data(), qsizetype(name.size()));
    if (text.toUtf8() != QByteArray::fromRawData(name.data(), qsizetype(name.size()))) {
        return false; // not UTF-8
    }
    for (const char32_t c : text.toUcs4()) {
        switch (QChar::category(c)) {
        case QChar::Other_Control:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return false;
        default:
            break;
        }
    }
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    std::size_t count = 0;
    while (graphemes.toNextBoundary() != -1) {
        if (++count > maxShortcutLength) {
            return false;
        }
    }
    return true;
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
    , log_(directory_ / "commands.jsonl") {
    pending_ = revocation_.pending();

    // Sleep and session switches; the connections end with the Agent.
    QObject::connect(&platform_.workspace, &Workspace::willSleep, this, &Agent::suspend);
    QObject::connect(&platform_.workspace, &Workspace::sessionDidResignActive, this,
                     &Agent::suspend);
    QObject::connect(&platform_.workspace, &Workspace::didWake, this, &Agent::resume);
    QObject::connect(&platform_.workspace, &Workspace::sessionDidBecomeActive, this,
                     &Agent::resume);

    // The port stays the same across launches so that local scripts keep working.
    const std::optional<std::int64_t> stored = platform_.defaults.integerValue("local-port");
    localPort_ = stored && inDynamicRange(*stored) ? quint16(*stored) : randomPort();
    platform_.defaults.setInteger("local-port", localPort_);

    screenState_ = LockStateReader::read(platform_.console);
    stateMonitor_ = TaskHandle::make();
    monitorScreen(QPointer<Agent>(this), stateMonitor_, &platform_.clock);

    status_ = pending_ ? std::string(RevocationState::warning) : "Opening secure connection keys…";
}

Agent::~Agent() {
    stateMonitor_.cancel();
    worker_.cancel();
    // Stop the listener first: its handlers must not reach a half-destroyed Agent.
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

// ---- Lifecycle -------------------------------------------------------------------------------

QCoro::Task<> Agent::monitorScreen(QPointer<Agent> agent, TaskHandle handle, Clock* clock) {
    try {
        while (!handle.cancelled() && agent) {
            co_await clock->sleep(monitorInterval);
            if (handle.cancelled() || !agent) {
                co_return;
            }
            agent->observeScreen();
        }
    } catch (...) {
        // The clock went away (the process or the test is ending): nothing left to watch.
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
    // A named awaiter: GCC 12 mishandles temporaries with captures inside a co_await expression.
    OffThread<CredentialVault::Credentials> load(loadCredentials(vault_, allowInteraction));
    try {
        credentials = co_await load;
    } catch (...) {
        // A locked or failing store: local controls keep working without the listener.
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
    if (!startLocalServer(credentials->local)) {
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

bool Agent::startLocalServer(const std::string& localToken) {
    const LocalHTTPHandler handler = localHandler();
    for (int attempt = 1;; ++attempt) {
        try {
            auto server = std::make_unique<LocalHTTPServer>(localPort_, localToken, handler);
            server->start();
            localServer_ = std::move(server);
            return true;
        } catch (const LocalHTTPServerError& error) {
            // Another program holds the port: move to another one and remember it, so the next
            // launch does not collide again.
            if (!addressInUse(error) || attempt == portAttempts) {
                return false;
            }
            publish(Field::LocalPort, localPort_, randomPort());
            platform_.defaults.setInteger("local-port", localPort_);
        }
    }
}

QCoro::Task<LocalHTTPResponse> Agent::handleLocalRequest(QPointer<Agent> agent, JSON body) {
    if (!agent) {
        co_return LocalHTTPResponse{503, emptyObject()};
    }
    co_return co_await agent->localCommand(std::move(body));
}

QCoro::Task<> Agent::startConnectionsDetached(QPointer<Agent> agent) {
    if (!agent) {
        co_return;
    }
    try {
        co_await agent->startConnections(false);
    } catch (...) {
        // startConnections reports its failures in the status.
    }
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
    worker_.cancel();
    closeSocket();
    setStatus("Offline — session inactive");
}

void Agent::resume() {
    suspended_ = false;
    if (!connectionReady_) {
        startConnectionsDetached(QPointer<Agent>(this));
    } else {
        connect();
    }
}

void Agent::refreshDeviceState() {
    if (readingState_) {
        return;
    }
    publish(Field::ReadingState, readingState_, true);
    readDeviceState(QPointer<Agent>(this));
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
    if (!acceptableShortcut(name)) {
        setLastCommand(shortcutRefusedText);
        return;
    }
    if (std::find(shortcuts_.begin(), shortcuts_.end(), name) == shortcuts_.end()) {
        std::vector<std::string> updated = shortcuts_;
        updated.push_back(name);
        publish(Field::Shortcuts, shortcuts_, std::move(updated));
    }
    saveShortcuts();
    setLastCommand(shortcutAddedText);
}

void Agent::removeShortcut(const std::string& name) {
    std::vector<std::string> updated = shortcuts_;
    std::erase(updated, name);
    publish(Field::Shortcuts, shortcuts_, std::move(updated));
    saveShortcuts();
}

void Agent::saveShortcuts() {
    platform_.defaults.setStringList("shortcuts", shortcuts_);
}

void Agent::wipe() {
    executor_.desktop().stop();
    for (const char* account : {"device-token", "pending-device-token", "bootstrap-token"}) {
        vault_->remove(account);
    }
    token_.reset();
    publish(Field::Online, online_, false);
    publish(Field::Pairing, pairing_, false);
    revocation_.acknowledge();
    publish(Field::Pending, pending_, false);
    publish(Field::Code, code_, std::string());
    setStatus("Unpaired — revoked");
    platform_.defaults.remove("device-id");
}

void Agent::revoke() {
    try {
        revocation_.begin();
    } catch (...) {
        setStatus(CommandFeedback::error(codeOf(std::current_exception())));
        return;
    }
    publish(Field::Pending, pending_, true);
    setStatus(RevocationState::warning);
    runRevocation(QPointer<Agent>(this), &platform_.clock);
}

QCoro::Task<> Agent::revocationWatchdog(QPointer<Agent> agent, TaskHandle handle, Clock* clock) {
    try {
        co_await clock->sleep(revocationWait);
    } catch (...) {
        co_return;
    }
    if (!handle.cancelled() && agent && agent->pending_) {
        agent->closeSocket();
    }
}

QCoro::Task<> Agent::runRevocation(QPointer<Agent> agent, Clock* clock) {
    const TaskHandle watchdog = TaskHandle::make();
    revocationWatchdog(agent, watchdog, clock);
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
    try {
        agent->vault_->remove("device-token");
        agent->token_.reset();
    } catch (...) {
        agent->setStatus(CommandFeedback::error(codeOf(std::current_exception())));
    }
    bool waited = true;
    try {
        co_await clock->sleep(revocationWait);
    } catch (...) {
        waited = false;
    }
    watchdog.cancel();
    if (!waited || !agent) {
        co_return;
    }
    if (agent->pending_) {
        // No confirmation from the relay: give up on the session, the flag stays.
        ++agent->generation_;
        agent->worker_.cancel();
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
    try {
        wipe();
    } catch (...) {
        setStatus(CommandFeedback::error(codeOf(std::current_exception())));
    }
}

// ---- Pipeline --------------------------------------------------------------------------------

void Agent::checkFence(std::uint64_t generation) const {
    if (generation != generation_ || pending_ || suspended_) {
        throw ContractError("session_changed");
    }
}

void Agent::checkLocalFence() const {
    if (suspended_ || pending_) {
        throw ContractError("session_changed");
    }
}

QCoro::Task<JSON> Agent::runAction(std::string action, JSON params) {
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
        co_await deliverRelayCommand(command, generation, commandId, actionName);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure) {
        co_return;
    }
    const std::string code = codeOf(failure);
    if (!self) {
        throw ContractError(code);
    }
    setLastCommand(CommandFeedback::error(code));
    log_.append(command, code, platform_.clock.now());
    co_await send(envelope("result", failureResult(commandId, code), platform_.clock.now()));
}

QCoro::Task<> Agent::deliverRelayCommand(JSON command, std::uint64_t generation, std::string id,
                                         std::string action) {
    QPointer<Agent> self(this);
    Clock& clock = platform_.clock;
    checkFence(generation);
    CommandGate::checkDeadline(command, clock.now());
    ledger_.reserve(id, clock.now());
    log_.append(command, "received", clock.now());

    co_await send(deliveredMessage(id, clock.now()));
    if (!self) {
        throw ContractError("session_changed");
    }
    checkFence(generation);
    CommandGate::checkDeadline(command, clock.now());

    const JSON* params = command.find("params");
    if (params == nullptr) {
        throw ContractError("invalid_message");
    }
    JSON result = co_await runAction(action, *params);
    if (!self) {
        throw ContractError("session_changed");
    }
    JSON checked = privacyChecked(std::move(result), action);
    checkFence(generation);
    validator_.validate("ActionResult", checked);
    log_.append(command, "succeeded", clock.now());
    setLastCommand(CommandFeedback::success(action, checked));
    co_await send(envelope("result", successResult(id, checked), clock.now()));
}

QCoro::Task<LocalHTTPResponse> Agent::localCommand(JSON body) {
    QPointer<Agent> self(this);
    std::optional<JSON> received;
    std::exception_ptr failure;
    try {
        validator_.validate("LocalCommandRequest", body);
        checkLocalFence();
        const std::string* action = body.stringMember("action");
        const JSON* params = body.find("params");
        if (action == nullptr || params == nullptr) {
            throw ContractError("invalid_message");
        }
        const std::string actionName = *action;
        const WireTime::Instant now = platform_.clock.now();
        const std::string id = Uuid::make();
        JSON command = localCommandMessage(id, actionName, *params, now);
        ledger_.reserve(id, now);
        log_.append(command, "received", now);
        received = command;

        JSON result = co_await runAction(actionName, *params);
        if (!self) {
            co_return LocalHTTPResponse{503, emptyObject()};
        }
        JSON checked = privacyChecked(std::move(result), actionName);
        validator_.validate("ActionResult", checked);
        log_.append(command, "succeeded", platform_.clock.now());
        co_return LocalHTTPResponse{200, std::move(checked)};
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self) {
        co_return LocalHTTPResponse{503, emptyObject()};
    }
    const std::string code = codeOf(failure);
    if (received) {
        try {
            log_.append(*received, code, platform_.clock.now());
        } catch (...) {
            // The answer still goes out; the log's own failure cannot be reported anywhere else.
        }
    }
    co_return LocalHTTPResponse{409, localError(code, CommandFeedback::error(code))};
}

void Agent::runLocalAction(std::string action, JSON params) {
    if (actionRunning_) {
        return;
    }
    publish(Field::ActionRunning, actionRunning_, true);
    setLastCommand("Working…");
    runWindowAction(QPointer<Agent>(this), std::move(action), std::move(params));
}

QCoro::Task<> Agent::runWindowAction(QPointer<Agent> agent, std::string action, JSON params) {
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
