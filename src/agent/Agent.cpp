#include "agent/Agent.h"

#include "agent/AgentDetail.h"
#include "agent/RelayOrigin.h"

#include "actions/LocalHTTPServer.h"
#include "core/CommandFeedback.h"
#include "core/ContractError.h"
#include "core/DamagedFileError.h"
#include "core/Detached.h"
#include "core/Envelope.h"
#include "core/InstalledFile.h"
#include "core/Uuid.h"
#include "core/WireTime.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <algorithm>
#include <cmath>
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
    , options_(std::move(options))
    , relay_(platform_.defaults.stringValue("relay").value_or(options_.relayOrigin))
    , shortcuts_(
          platform_.defaults.stringListValue("shortcuts").value_or(std::vector<std::string>{}))
    , executor_(platform_, options_.handlers)
    , directory_(std::move(paths.directory))
    , pipeline_(platform_.clock, platform_.sessionLock, executor_, directory_, paths.schema,
                options_.logCalls, options_.execute, pipelineOwner())
    , credentials_(std::move(vault))
    , session_(*this)
    , pairingPart_(*this) {
    pending_ = pipeline_.revocation().pending();

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
    session_.close();
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
    session_.close();
    ++generation_;
    session_.adopt(std::move(socket));
    return generation_;
}

void Agent::abandonWorker() {
    worker_.cancel();
    ++generation_;
}

std::uint64_t Agent::renewWorker() {
    abandonWorker();
    worker_ = TaskHandle::make();
    return generation_;
}

void Agent::connect() {
    if (!token() || pending_ || suspended_) {
        return;
    }
    const std::uint64_t generation = renewWorker();
    session_.start(worker_, generation);
}

CommandPipeline::Owner Agent::pipelineOwner() {
    // Called while the Agent is built: the callables only keep `this` for later.
    CommandPipeline::Owner owner;
    owner.generation = [this] {
        return generation_;
    };
    owner.held = [this] {
        return pending_ || suspended_;
    };
    owner.shortcuts = [this] {
        return shortcuts_;
    };
    owner.send = [this](JSON message) {
        return send(std::move(message));
    };
    owner.showStatus = [this](std::string_view text) {
        setStatus(text);
    };
    owner.showLastCommand = [this](std::string_view text) {
        setLastCommand(text);
    };
    owner.report = [this](const std::string& text) {
        report(text);
    };
    return owner;
}

QCoro::Task<> Agent::send(JSON message) {
    return session_.send(std::move(message));
}

QCoro::Task<> Agent::execute(JSON command, std::uint64_t generation) {
    return pipeline_.execute(std::move(command), generation);
}

QCoro::Task<LocalHTTPResponse> Agent::localCommand(JSON body) {
    return pipeline_.localCommand(std::move(body));
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

// ---- Relay requests -------------------------------------------------------------------------

QUrl Agent::origin() const {
    return RelayOrigin::origin(relay_);
}

QUrl Agent::dashboardOrigin() const {
    return RelayOrigin::dashboard(relay_, options_.relayOrigin, options_.dashboardOrigin);
}

std::optional<QUrl> Agent::pairingURL() const {
    if (code_.empty()) {
        return std::nullopt;
    }
    try {
        return RelayOrigin::pairingLink(dashboardOrigin(), code_);
    } catch (const ContractError&) {
        return std::nullopt;
    }
}

QCoro::Task<JSON> Agent::request(std::string path, JSON body, std::optional<std::string> bearer) {
    const QUrl url = RelayOrigin::endpoint(origin(), QString::fromStdString(path));
    co_return co_await relayClient().post(url, std::move(body), std::move(bearer));
}

void Agent::continuePairing() {
    if (const std::optional<QUrl> link = pairingURL()) {
        platform_.prompts.openInBrowser(link->toString(QUrl::FullyEncoded).toStdString());
    }
}

void Agent::dashboard() {
    try {
        platform_.prompts.openInBrowser(
            dashboardOrigin().toString(QUrl::FullyEncoded).toStdString());
    } catch (const ContractError&) {
        setStatus(relayAddressMissingText);
    }
}

void Agent::pair() {
    pairingPart_.begin();
}

void Agent::cancelPairing() {
    pairingPart_.cancel();
}

} // namespace corvane
