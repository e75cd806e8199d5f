#pragma once

#include "actions/ActionExecutor.h"
#include "actions/LocalHTTPResponse.h"
#include "core/Clock.h"
#include "core/ContractValidator.h"
#include "core/DamagedFileError.h"
#include "core/DedupLedger.h"
#include "core/JSON.h"
#include "core/LocalForensicLog.h"
#include "core/RevocationState.h"
#include "core/WorkerPool.h"
#include "platform/ScreenState.h"
#include "platform/SessionLock.h"

#include <QObject>
#include <QString>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The one way every command goes, whichever entry it came by: the fence, the deadline, the dedup
// ledger, the private log, the contract, the action and the answer's privacy check. It owns the
// durable files and the I/O thread that writes them in order; the pool is declared after the files,
// so it is waited for before they go. It knows nothing of sockets or pairing: the fence's state,
// the relay's send and the texts shown come from its owner. Main thread only.
class CommandPipeline : public QObject {
    Q_OBJECT

public:
    // The action runner: by default ActionExecutor::executeGuarded, given the command's fence.
    using Execute = std::function<QCoro::Task<JSON>(ActionExecutor& executor, std::string action,
                                                    JSON params, std::vector<std::string> shortcuts,
                                                    ActionExecutor::Fence fence)>;

    // A local command's deadline, from the moment it is made.
    static constexpr std::chrono::seconds localDeadline{15};

    // How a command entered: relay commands carry their session's generation.
    struct Route {
        std::optional<std::uint64_t> generation;
        bool relay() const noexcept { return generation.has_value(); }
    };

    // What the pipeline asks of its owner, on the main thread and only while the pipeline lives.
    struct Owner {
        // The current relay session's generation, and whether every command is held (a
        // revocation waiting, or the session inactive).
        std::function<std::uint64_t()> generation;
        std::function<bool()> held;
        // The Shortcut allowlist an action runs with.
        std::function<std::vector<std::string>()> shortcuts;
        // Sends a device message on the current relay session.
        std::function<QCoro::Task<>(JSON)> send;
        std::function<void(std::string_view)> showStatus;
        std::function<void(std::string_view)> showLastCommand;
        // Told the real cause behind a code; never throws.
        std::function<void(const std::string&)> report;
    };

    // Throws ContractError "schema_missing" when the contract document is absent, then the
    // validator's, ledger's, revocation state's and log's errors, in that order.
    CommandPipeline(Clock& clock, SessionLock& lock, ActionExecutor& executor,
                    const std::filesystem::path& directory, const QString& schema,
                    std::optional<LocalForensicLog::Calls> logCalls, Execute execute, Owner owner);
    ~CommandPipeline() override;
    CommandPipeline(const CommandPipeline&) = delete;
    CommandPipeline& operator=(const CommandPipeline&) = delete;

    // The relay entry: runs a "command" message of the session `generation` and answers it on the
    // session.
    QCoro::Task<> execute(JSON command, std::uint64_t generation);
    // The loopback entry: 200 with the result, 409 with the refusal, 503 once the pipeline is gone.
    QCoro::Task<LocalHTTPResponse> localCommand(JSON body);
    // Withholds what a report gathered once the screen is locked.
    JSON privacyChecked(JSON result, const std::string& action) const;

    // Runs `write` on the I/O thread after every write given before it.
    QCoro::Task<> durably(std::function<void()> write);
    // The code a caller sees for `error`; the cause behind a storage failure goes to the report,
    // and a damaged file is named in the status.
    std::string failureCode(std::exception_ptr error);
    // The text of `error` for the status line and the last command.
    std::string failureText(std::exception_ptr error);

    const ContractValidator& validator() const noexcept { return validator_; }
    RevocationState& revocation() noexcept { return revocation_; }
    // Blocks until the I/O thread is idle; returns how many jobs it was given in all.
    std::size_t waitForWrites() { return io_.waitForDone(); }

    // The code of a refused local answer: "error"."code", or "action_failed" when there is none.
    static std::string answerCode(const JSON& body);
    // The status that names a damaged file and where, so that a person can repair or remove it.
    static std::string damagedFileText(const DamagedFileError& error);

private:
    // Relay commands are accepted only for the current session; every command only while not
    // held.
    void checkFence(const Route& route) const;
    // The steps every command passes, from the first fence check to the "succeeded" record;
    // returns the checked result. `logged` tells the caller whether "received" was written.
    QCoro::Task<JSON> run(JSON command, Route route, std::shared_ptr<bool> logged);
    // The executor's guarded entry, or the owner's replacement; an action resuming after a
    // person's answer passes the route's fence again.
    QCoro::Task<JSON> performAction(std::string action, JSON params, Route route);
    QCoro::Task<> logOutcome(JSON command, std::string outcome);

    Clock& clock_;
    SessionLock& lock_;
    ActionExecutor& executor_;
    Execute execute_;
    Owner owner_;
    ContractValidator validator_;
    DedupLedger ledger_;
    RevocationState revocation_;
    LocalForensicLog log_;
    // After the files it writes: destroyed, and so waited for, before them.
    WorkerPool io_;
};

} // namespace corvane
