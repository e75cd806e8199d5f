#include "agent/CommandPipeline.h"

#include "agent/AgentDetail.h"
#include "core/CommandFeedback.h"
#include "core/CommandGate.h"
#include "core/ContractError.h"
#include "core/Envelope.h"
#include "core/Uuid.h"
#include "core/WireTime.h"

#include <QFileInfo>
#include <QPointer>

#include <coroutine>

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
    return envelope(
        "command",
        JSON::Object{{"command_id", JSON(id)},
                     {"action", JSON(action)},
                     {"params", params},
                     {"expires_at", JSON(WireTime::text(now + CommandPipeline::localDeadline))}},
        now);
}

ContractValidator loadValidator(const QString& schema) {
    if (schema.isEmpty() || !QFileInfo(schema).isFile()) {
        throw ContractError("schema_missing");
    }
    return ContractValidator(schema);
}

} // namespace

CommandPipeline::CommandPipeline(Clock& clock, SessionLock& lock, ActionExecutor& executor,
                                 const std::filesystem::path& directory, const QString& schema,
                                 std::optional<LocalForensicLog::Calls> logCalls, Execute execute,
                                 Owner owner)
    : clock_(clock)
    , lock_(lock)
    , executor_(executor)
    , execute_(std::move(execute))
    , owner_(std::move(owner))
    , validator_(loadValidator(schema))
    , ledger_(directory / "dedup.json")
    , revocation_(directory / "revocation.json")
    , log_(directory / "commands.jsonl", logCalls.value_or(LocalForensicLog::Calls::system())) {}

CommandPipeline::~CommandPipeline() = default;

std::string CommandPipeline::failureCode(std::exception_ptr error) {
    const std::string cause = causeOf(error);
    if (!cause.empty()) {
        owner_.report(cause);
    }
    try {
        std::rethrow_exception(error);
    } catch (const DamagedFileError& damaged) {
        // Every command is refused until a person repairs or removes the file: say which.
        owner_.showStatus(damagedFileText(damaged));
    } catch (...) {
    }
    return codeOf(std::move(error));
}

std::string CommandPipeline::damagedFileText(const DamagedFileError& error) {
    std::string text = "Damaged file " + error.file().string();
    if (error.line() > 0) {
        text += ", line " + std::to_string(error.line());
    }
    return text + ": repair or remove it.";
}

std::string CommandPipeline::failureText(std::exception_ptr error) {
    return std::string(CommandFeedback::error(failureCode(std::move(error))));
}

QCoro::Task<> CommandPipeline::durably(std::function<void()> write) {
    return io_.run<void>(std::move(write));
}

QCoro::Task<> CommandPipeline::logOutcome(JSON command, std::string outcome) {
    LocalForensicLog* log = &log_;
    const WireTime::Instant now = clock_.now();
    return durably([log, command = std::move(command), outcome = std::move(outcome), now] {
        log->append(command, outcome, now);
    });
}

std::string CommandPipeline::answerCode(const JSON& body) {
    if (const JSON* error = body.find("error")) {
        if (const std::string* code = error->stringMember("code")) {
            return *code;
        }
    }
    return "action_failed";
}

void CommandPipeline::checkFence(const Route& route) const {
    if ((route.relay() && *route.generation != owner_.generation()) || owner_.held()) {
        throw ContractError("session_changed");
    }
}

QCoro::Task<JSON> CommandPipeline::performAction(std::string action, JSON params, Route route) {
    std::vector<std::string> shortcuts = owner_.shortcuts();
    // Held weakly: an answer may come after the pipeline went.
    ActionExecutor::Fence fence = [self = QPointer<CommandPipeline>(this), route] {
        if (!self) {
            throw ContractError("session_changed");
        }
        self->checkFence(route);
    };
    if (execute_) {
        // A copy, so that the callable outlives the call even if the pipeline does not.
        const Execute execute = execute_;
        co_return co_await execute(executor_, std::move(action), std::move(params),
                                   std::move(shortcuts), std::move(fence));
    }
    co_return co_await executor_.executeGuarded(std::move(action), std::move(params),
                                                std::move(shortcuts), std::move(fence));
}

JSON CommandPipeline::privacyChecked(JSON result, const std::string& action) const {
    if (action != "get_state" && action != "desktop_observe") {
        return result;
    }
    // Read after the action ran: what was gathered just before the screen locked is withheld.
    const ScreenState state = lock_.state();
    if (std::optional<JSON> replacement = CommandGate::lockedResult(action, lockedValue(state))) {
        return std::move(*replacement);
    }
    return result;
}

QCoro::Task<JSON> CommandPipeline::run(JSON command, Route route, std::shared_ptr<bool> logged) {
    QPointer<CommandPipeline> self(this);
    const auto gone = [&self] {
        if (!self) {
            throw ContractError("session_changed");
        }
    };
    Clock& clock = clock_;
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
        co_await owner_.send(deliveredMessage(id, clock.now()));
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

QCoro::Task<> CommandPipeline::execute(JSON command, std::uint64_t generation) {
    const std::string* id = command.stringMember("command_id");
    const std::string* action = command.stringMember("action");
    if (id == nullptr || action == nullptr) {
        throw ContractError("invalid_message");
    }
    const std::string commandId = *id;
    const std::string actionName = *action;
    QPointer<CommandPipeline> self(this);

    std::exception_ptr failure;
    try {
        const JSON checked =
            co_await run(command, Route{generation}, std::make_shared<bool>(false));
        if (!self) {
            throw ContractError("session_changed");
        }
        owner_.showLastCommand(CommandFeedback::success(actionName, checked));
        co_await owner_.send(envelope("result", successResult(commandId, checked), clock_.now()));
        co_return;
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self) {
        throw ContractError(codeOf(failure));
    }
    const std::string code = failureCode(failure);
    owner_.showLastCommand(CommandFeedback::error(code));
    co_await logOutcome(command, code);
    if (!self) {
        throw ContractError(code);
    }
    co_await owner_.send(envelope("result", failureResult(commandId, code), clock_.now()));
}

QCoro::Task<LocalHTTPResponse> CommandPipeline::localCommand(JSON body) {
    QPointer<CommandPipeline> self(this);
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
        const WireTime::Instant now = clock_.now();
        command = localCommandMessage(Uuid::make(), *action, *params, now);
        JSON checked = co_await run(*command, Route{}, logged);
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

} // namespace corvane
