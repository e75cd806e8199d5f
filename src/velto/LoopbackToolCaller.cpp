#include "velto/LoopbackToolCaller.h"

#include "core/CommandFeedback.h"
#include "core/LogTail.h"
#include "velto/LocalCommandClient.h"

namespace corvane {

namespace {

McpCallOutcome notRunning(const std::string& detail) {
    return McpCallOutcome::refusal(
        LoopbackToolCaller::notRunningCode,
        "Velto's agent is not running on this computer or cannot be reached (" + detail +
            "). The person can start it ('velto', or 'velto --headless'), then try again.");
}

JSON requestBody(const std::string& action, const JSON& params) {
    return JSON(JSON::Object{{"action", JSON(action)}, {"params", params}});
}

// The members an assistant needs of a record; the parameters stay in the log (typed text).
std::optional<JSON> finalRecord(std::string_view line) {
    JSON record;
    try {
        record = JSON::parse(line);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    const std::string* outcome = record.stringMember("outcome");
    if (!record.isObject() || outcome == nullptr || *outcome == "received") {
        return std::nullopt;
    }
    JSON::Object kept;
    for (const char* key : {"command_id", "action", "outcome", "created_at"}) {
        if (const JSON* value = record.find(key)) {
            kept.emplace(key, *value);
        }
    }
    return JSON(std::move(kept));
}

} // namespace

LoopbackToolCaller::LoopbackToolCaller(EndpointReader endpoint, ActionsReader actions,
                                       std::filesystem::path log, std::chrono::milliseconds timeout)
    : endpoint_(std::move(endpoint))
    , actions_(std::move(actions))
    , log_(std::move(log))
    , timeout_(timeout) {}

McpCallOutcome LoopbackToolCaller::outcome(int status, const std::string& body) {
    JSON answer;
    try {
        answer = JSON::parse(body);
    } catch (const std::exception&) {
        return McpCallOutcome::refusal(
            "connection_or_storage_failed",
            std::string(CommandFeedback::error("connection_or_storage_failed")));
    }
    if (status == 200) {
        return McpCallOutcome::success(std::move(answer));
    }
    const JSON* error = answer.find("error");
    const std::string* code = error != nullptr ? error->stringMember("code") : nullptr;
    const std::string* message = error != nullptr ? error->stringMember("message") : nullptr;
    const std::string known = code != nullptr ? *code : "connection_or_storage_failed";
    return McpCallOutcome::refusal(
        known, message != nullptr ? *message : std::string(CommandFeedback::error(known)));
}

McpCallOutcome LoopbackToolCaller::activity(const std::filesystem::path& file, std::size_t count) {
    JSON::Array records;
    try {
        LogTail::walk(file, [&records, count](std::string_view line) {
            if (std::optional<JSON> record = finalRecord(line)) {
                records.push_back(std::move(*record));
            }
            return records.size() < count;
        });
    } catch (const std::exception&) {
        return McpCallOutcome::refusal("invalid_local_log",
                                       std::string(CommandFeedback::error("invalid_local_log")));
    }
    return McpCallOutcome::success(JSON(JSON::Object{{"records", JSON(std::move(records))}}));
}

McpCallOutcome LoopbackToolCaller::send(const std::string& body) {
    std::optional<Endpoint> endpoint;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        endpoint = known_;
    }
    const bool kept = endpoint.has_value();
    std::string error;
    if (!endpoint && !(endpoint = endpoint_(error))) {
        return notRunning(error);
    }
    LocalCommandClient::Reply reply =
        LocalCommandClient::post(endpoint->port, endpoint->token, body, timeout_);
    // Refused before anything ran: the token was wrong, or nothing listened on the port.
    const bool stale =
        reply.status == 401 || (reply.status < 0 && reply.error.rfind("cannot reach", 0) == 0);
    if (kept && stale) {
        const std::optional<Endpoint> fresh = endpoint_(error);
        if (!fresh) {
            const std::lock_guard<std::mutex> lock(mutex_);
            known_.reset();
            return notRunning(error);
        }
        if (fresh->port != endpoint->port || fresh->token != endpoint->token) {
            endpoint = fresh;
            reply = LocalCommandClient::post(endpoint->port, endpoint->token, body, timeout_);
        }
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        known_ = endpoint;
    }
    if (reply.status < 0) {
        return notRunning(reply.error);
    }
    return outcome(reply.status, reply.body);
}

QCoro::Task<McpCallOutcome> LoopbackToolCaller::call(std::string action, JSON params) {
    const std::string body = requestBody(action, params).data();
    std::function<McpCallOutcome()> work = [this, body]() {
        return send(body);
    };
    co_return co_await pool_.run(std::move(work));
}

QCoro::Task<std::optional<std::vector<std::string>>> LoopbackToolCaller::actions() {
    std::function<std::optional<std::vector<std::string>>()> work = [this]() {
        return actions_();
    };
    co_return co_await pool_.run(std::move(work));
}

QCoro::Task<McpCallOutcome> LoopbackToolCaller::recentActivity() {
    std::function<McpCallOutcome()> work = [this]() {
        return activity(log_, activityRecords);
    };
    co_return co_await pool_.run(std::move(work));
}

} // namespace corvane
