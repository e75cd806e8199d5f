#pragma once

#include "actions/ActionExecutor.h"
#include "actions/AppInventory.h"
#include "actions/LocalHTTPResponse.h"
#include "actions/LocalHTTPServer.h"
#include "agent/AgentIntents.h"
#include "agent/CommandPipeline.h"
#include "agent/CredentialVault.h"
#include "agent/Credentials.h"
#include "agent/Pairing.h"
#include "agent/RelayClient.h"
#include "agent/RelaySession.h"
#include "agent/RelaySocket.h"
#include "agent/RelayTrust.h"
#include "agent/TaskHandle.h"
#include "core/CommandFeedbackTables.h"
#include "core/DamagedFileError.h"
#include "core/JSON.h"
#include "core/RevocationState.h"
#include "core/WireTime.h"
#include "core/WorkerPool.h"
#include "platform/Platform.h"
#include "platform/ScreenState.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QString>
#include <QUrl>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// The one long-lived object of the application: connection and command state, the published
// fields the window and the command line show, and the coordinator of the parts that do the work.
// Main thread only.
//
// Observing: every published field announces a change with aboutToChange(field) before the new
// value is stored and with changed(field) after; reading the getter inside aboutToChange gives the
// old value. Nothing is emitted when a field is set to the value it already has.
//
// The parts: CommandPipeline (fence, ledger, log, validator, the I/O thread; the relay entry
// execute(), the loopback entry localCommand() and, through it, the window's runLocalAction());
// RelaySession (connect loop, one session, the socket); Pairing (codes, redeeming, cancelling);
// Credentials (the keychain thread and the tokens). The Agent keeps what they share: the
// generation, the one task handle (`worker`) of the pairing task or the connect loop (starting
// either cancels the other, and both stop once the generation moves on), suspension, revocation,
// the loopback listener and every published field. The window asks through AgentIntents.
//
// Destruction: the listener and the relay requests go first (~Agent), then the parts in reverse
// order; the keychain pool and then the I/O pool are waited for before the files they write go.
class Agent : public QObject, public AgentIntents {
    Q_OBJECT
    // The parts the Agent coordinates reach its generation, task handle and published fields.
    friend class RelaySession;
    friend class Pairing;

public:
    // The published fields.
    enum class Field {
        Status,
        Code,
        Relay,
        Pairing,
        Online,
        LastCommand,
        ScreenState,
        DeviceState,
        ReadingState,
        ActionRunning,
        Pending,
        Shortcuts,
        LocalPort,
        ConnectionReady,
        OpeningKeys,
    };
    Q_ENUM(Field)

    struct Paths {
        // The private directory of "dedup.json", "revocation.json" and "commands.jsonl".
        std::filesystem::path directory;
        // The contract document.
        QString schema;
    };

    // The action runner: by default ActionExecutor::executeGuarded, given the command's fence.
    // Tests put a scripted action in its place.
    using Execute = CommandPipeline::Execute;

    struct Options {
        // The relay origin built into the program, used when the user default "relay" is unset.
        std::string relayOrigin;
        // The dashboard that belongs to the built-in relay (CorvaneDashboardOrigin).
        std::string dashboardOrigin;
        // Certificate authorities trusted for the relay besides the system's (a self-hosted relay
        // with its own authority).
        QList<QSslCertificate> relayCertificates;
        // When set, it decides instead of relayCertificates (it holds them) and also accepts the
        // certificates a person pinned for one relay address; refusals are reported to it.
        std::shared_ptr<RelayTrust> relayTrust;
        // Uniform samples in [0, 1) for the pairing polls and the reconnect waits; the system's
        // generator when unset.
        std::function<double()> random;
        // Seams for tests; left empty, the executor's own application inventory answers.
        ActionExecutor::Handlers handlers;
        Execute execute;
        // A port of the dynamic range, when the stored one cannot be used; system random when
        // unset.
        std::function<quint16()> randomPort;
        // Told the real cause of a failure that callers only see as a code (the file, the call
        // and the system's reason behind "connection_or_storage_failed"), and of notices such as
        // a replaced local token. The headless agent prints it.
        std::function<void(const std::string&)> report;
        // The system calls behind the log; tests put failing ones in their place.
        std::optional<LocalForensicLog::Calls> logCalls;
        // True when nobody is there to press Connect (the headless agent): a pairing that gave up
        // starts again after the connection's back-off, and so does one whose interrupted
        // predecessor was cancelled. (Optional only because GCC 12 refuses a member initialiser
        // here, where `Options options = {}` is a default argument.)
        std::optional<bool> unattended;
    };

    static constexpr quint16 dynamicPortFirst = 49152;
    static constexpr quint16 dynamicPortLast = 65535;
    // How many ports startConnections tries when the loopback port is already taken.
    static constexpr int portAttempts = 5;
    static constexpr std::chrono::seconds localDeadline = CommandPipeline::localDeadline;
    static constexpr std::chrono::seconds revocationWait{5};
    static constexpr std::chrono::milliseconds reconnectFloor{500};
    static constexpr std::chrono::seconds reconnectAfterEnd{2};
    static constexpr std::chrono::seconds reconnectCap{60};
    static constexpr int backoffSteps = 6;
    static constexpr const char* keychainService = "local.corvane.agent";

    static constexpr std::string_view keysLockedText =
        "Connection keys are locked. Click Connect to retry when you are ready. Local controls "
        "still work.";
    static constexpr std::string_view shortcutRefusedText =
        "Enter an exact Shortcut name, up to 200 characters, with no line breaks.";
    static constexpr std::string_view shortcutAddedText = CommandFeedbackTables::shortcutAdded;
    static constexpr std::string_view onlineSetupMissingText =
        "Online setup is not available in this build yet. Local controls still work.";
    static constexpr std::string_view relayAddressMissingText =
        "Enter your HTTPS relay address first.";
    static constexpr std::string_view pairingInterruptedText =
        "Connection interrupted. Try connecting again.";
    static constexpr std::string_view pairingCodesExpiredText =
        "The relay's pairing codes expire as soon as they arrive. Check the date and time of this "
        "computer and of the relay, then try connecting again.";

    // The private directory: $XDG_DATA_HOME/Corvane, by default ~/.local/share/Corvane.
    static std::filesystem::path defaultDirectory();
    // The contract document beside the program: `applicationDir`/resources/v1.schema.json, else
    // the installed copy in `applicationDir`/../share/Corvane/v1.schema.json; the first of the two
    // when neither exists (construction then fails with "schema_missing").
    static QString schemaBeside(const QString& applicationDir);
    // The build's relay origin (CorvaneRelayOrigin), empty when none was set.
    static std::string builtRelayOrigin();
    // The build's dashboard origin (CorvaneDashboardOrigin), empty when none was set.
    static std::string builtDashboardOrigin();

    // Builds the Agent in the documented order. Throws ContractError "schema_missing" when the
    // contract document is absent, and the validator's, ledger's and revocation state's errors.
    Agent(Platform platform, std::shared_ptr<CredentialVault> vault, Paths paths,
          Options options = {}, QObject* parent = nullptr);
    ~Agent() override;
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    // Published fields.
    const std::string& status() const noexcept { return status_; }
    const std::string& code() const noexcept { return code_; }
    const std::string& relay() const noexcept { return relay_; }
    bool pairing() const noexcept { return pairing_; }
    bool online() const noexcept { return online_; }
    const std::string& lastCommand() const noexcept { return lastCommand_; }
    ScreenState screenState() const noexcept { return screenState_; }
    const std::optional<JSON>& deviceState() const noexcept { return deviceState_; }
    bool readingState() const noexcept { return readingState_; }
    bool actionRunning() const noexcept { return actionRunning_; }
    bool pending() const noexcept { return pending_; }
    const std::vector<std::string>& shortcuts() const noexcept { return shortcuts_; }
    quint16 localPort() const noexcept { return localPort_; }
    bool connectionReady() const noexcept { return connectionReady_; }
    bool openingKeys() const noexcept { return openingKeys_; }

    // Plain state, for the session and for tests.
    std::uint64_t generation() const noexcept { return generation_; }
    bool suspended() const noexcept { return suspended_; }
    const std::optional<std::string>& token() const noexcept { return credentials_.deviceToken(); }
    bool hasSocket() const noexcept { return session_.hasSocket(); }
    bool listening() const noexcept { return localServer_ != nullptr; }
    ActionExecutor& executor() noexcept { return executor_; }
    // Blocks until the I/O and keychain threads are idle; returns how many jobs they were given in
    // all, so that a caller (a test) can tell when no new ones appear.
    std::size_t waitForWorkers() { return pipeline_.waitForWrites() + credentials_.waitForDone(); }
    const std::filesystem::path& directory() const noexcept { return directory_; }

    // Loads the credentials on a worker thread, then starts the loopback listener and connects.
    // Completes when that is done (at once when it is already under way or done).
    QCoro::Task<> startConnections(bool allowInteraction);

    // The relay origin from `relay`; throws "https_relay_required" unless it is a bare https
    // origin.
    QUrl origin() const;
    // The dashboard: the build's own for the build's relay, otherwise the relay origin.
    QUrl dashboardOrigin() const;
    // The dashboard with "#pair=" and the code; absent without a code or a valid origin.
    std::optional<QUrl> pairingURL() const;
    // One relay request (POST `path` with `body`, 15 s, optional bearer); see RelayClient::post.
    QCoro::Task<JSON> request(std::string path, JSON body, std::optional<std::string> bearer);

    // Starts pairing (cancels an interrupted one instead); needs the credentials loaded, no device
    // token and no pending revocation.
    void pair() override;
    // Opens the pairing link in the browser.
    void continuePairing() override;
    // Abandons an unfinished pairing and tells the relay, recording a pending revocation until it
    // has heard. Does nothing on a paired computer.
    void cancelPairing() override;
    // Opens the dashboard in the browser.
    void dashboard() override;
    // The relay text the window has stored as the user default "relay".
    void setRelay(std::string relay) override { publish(Field::Relay, relay_, std::move(relay)); }
    // Starts (or restarts) the connect loop; needs a device token, no pending revocation and no
    // suspension.
    void connect();

    // A session opened by someone else (tests): the socket replaces the current one (which is
    // closed with 1001), the generation moves on, and the new generation is returned for
    // execute().
    std::uint64_t beginSession(std::shared_ptr<RelaySocket> socket);

    void suspend();
    void resume();
    void refreshDeviceState() override;

    // What the window asks of desktop control and the app list, so that it never reaches into the
    // executor. Enabling and stopping throw the consent store's error (stopping after it stopped).
    void enableDesktop() override;
    void stopDesktop() override;
    void requestAccessibility() override;
    bool desktopWide() const override;
    QCoro::Task<std::vector<AppInventory::Entry>> applications(bool refresh) override;
    // The window's entry: one window action at a time; the outcome goes to lastCommand.
    void runLocalAction(std::string action, JSON params) override;
    // Both return at once; the list is saved on the I/O thread and lastCommand tells the outcome
    // (a failed save restores the list that is on disk).
    void saveShortcut(const std::string& name) override;
    void removeShortcut(const std::string& name) override;
    // Clears every connection secret and the pairing state. Throws on the first failing step; the
    // steps before it stay done.
    QCoro::Task<> wipe();
    void revoke() override;
    // Asks whether the dashboard revoked this computer and returns at once; wipes once the person
    // confirms.
    void confirmDashboardRevocation() override;

    // The relay entry: runs a "command" message of the session `generation` and answers it on the
    // session.
    QCoro::Task<> execute(JSON command, std::uint64_t generation);
    // The loopback entry: 200 with the result, 409 with the refusal, 503 once the Agent is gone.
    QCoro::Task<LocalHTTPResponse> localCommand(JSON body);
    JSON privacyChecked(JSON result, const std::string& action) const {
        return pipeline_.privacyChecked(std::move(result), action);
    }
    QCoro::Task<> send(JSON message);
    // The handler given to the loopback listener: it holds the Agent weakly and answers 503 with
    // an empty object once the Agent is gone.
    LocalHTTPHandler localHandler();
    // The code of a refused local answer: "error"."code", or "action_failed" when there is none.
    static std::string answerCode(const JSON& body) { return CommandPipeline::answerCode(body); }
    // The status that names a damaged file and where, so that a person can repair or remove it.
    static std::string damagedFileText(const DamagedFileError& error) {
        return CommandPipeline::damagedFileText(error);
    }

Q_SIGNALS:
    void aboutToChange(corvane::Agent::Field field);
    void changed(corvane::Agent::Field field);

private:
    template <typename T>
    void publish(Field field, T& member, T value);
    // The relay requests and the TLS settings of the session, made on first use.
    RelayClient& relayClient();
    void setStatus(std::string_view text);
    void setLastCommand(std::string_view text);

    // What the pipeline asks of the Agent: the fence's state, the relay's send, the texts shown.
    CommandPipeline::Owner pipelineOwner();
    void report(const std::string& text) const;
    // The text of `error` for the status line and lastCommand (a damaged file is named there).
    std::string failureText(std::exception_ptr error) {
        return pipeline_.failureText(std::move(error));
    }
    std::string failureCode(std::exception_ptr error) {
        return pipeline_.failureCode(std::move(error));
    }
    // Cancels the pairing task or the connect loop and moves the generation on; renewWorker then
    // gives the next one a fresh handle (worker_) and returns its generation.
    void abandonWorker();
    std::uint64_t renewWorker();
    // The task `handle` of session `generation` may still touch the session state.
    bool current(const TaskHandle& handle, std::uint64_t generation) const noexcept;
    double randomSample() const;
    // A uniformly random wait between reconnectFloor and `cap`.
    std::chrono::milliseconds reconnectWait(std::chrono::milliseconds cap) const;
    // One user default, written on the I/O thread.
    QCoro::Task<> storeDefault(std::string key, std::string value);
    // A lock-state change announced by the session lock.
    void observeScreen(ScreenState state);
    QCoro::Task<bool> startLocalServer(std::string localToken);
    quint16 randomPort() const;
    void saveShortcuts(std::vector<std::string> updated, bool added);

    // Coroutines that outlive the call that started them hold the Agent weakly; the detached
    // ones are started through startDetached(), whose error handler clears their flags.
    static QCoro::Task<LocalHTTPResponse> handleLocalRequest(QPointer<Agent> agent, JSON body);
    static QCoro::Task<> windowAction(QPointer<Agent> agent, std::string action, JSON params);
    static QCoro::Task<> readDeviceState(QPointer<Agent> agent);
    static QCoro::Task<> revocation(QPointer<Agent> agent, Clock* clock);
    static QCoro::Task<> revocationWatchdog(QPointer<Agent> agent, TaskHandle handle, Clock* clock);
    static QCoro::Task<> saveShortcutList(QPointer<Agent> agent, std::vector<std::string> list,
                                          bool added);
    // Wipes once the person confirmed the dashboard's revocation.
    static QCoro::Task<> confirmedWipe(QPointer<Agent> agent,
                                       QCoro::Task<UserPrompts::Answer> question);

    Platform platform_;
    Options options_;

    // Published (declaration order of the field list).
    std::string status_ = "Unpaired";
    std::string code_;
    std::string relay_;
    bool pairing_ = false;
    bool online_ = false;
    std::string lastCommand_ = "None";
    ScreenState screenState_ = ScreenState::Unknown;
    std::optional<JSON> deviceState_;
    bool readingState_ = false;
    bool actionRunning_ = false;
    bool pending_ = false;
    std::vector<std::string> shortcuts_;

    ActionExecutor executor_;
    std::filesystem::path directory_;
    // The validator, the ledger, the revocation flag, the log and the I/O thread that writes them.
    CommandPipeline pipeline_;
    // The keychain thread and the device token.
    Credentials credentials_;

    // The connect loop, one session and the socket in use.
    RelaySession session_;
    // Codes, redeeming, cancelling, the unattended agent's retries.
    Pairing pairingPart_;
    // Made on first use (relayClient()).
    std::unique_ptr<RelayClient> relayClient_;
    // The pairing task or the connect loop, whichever runs.
    TaskHandle worker_;
    std::uint64_t generation_ = 0;
    bool suspended_ = false;
    std::unique_ptr<LocalHTTPServer> localServer_;
    quint16 localPort_ = 0;
    bool connectionReady_ = false;
    bool openingKeys_ = false;
};

// Defined here: every file of the Agent publishes.
template <typename T>
void Agent::publish(Field field, T& member, T value) {
    if (member == value) {
        return;
    }
    Q_EMIT aboutToChange(field);
    member = std::move(value);
    Q_EMIT changed(field);
}

} // namespace corvane
