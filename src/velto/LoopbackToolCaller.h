#pragma once

#include "core/WorkerPool.h"
#include "mcp/McpToolCaller.h"

#include <QtGlobal>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// The tools of `velto mcp` reach the running agent as `velto call` does: each call is one request
// to its loopback API. The port and token are read once and kept (reading the token asks another
// process); when the agent refuses the token or cannot be reached, they are read again, and the
// request is sent once more only when they changed (an agent restarted on a new port or token),
// so that a command is never sent twice to the same agent. The reads and the request cross into
// other processes and run on worker threads, so the standard input and output keep being served
// meanwhile; each call is bounded by `timeout`.
class LoopbackToolCaller : public McpToolCaller {
public:
    struct Endpoint {
        quint16 port = 0;
        std::string token;
    };
    // The agent's endpoint, or absent with `error` set ("no loopback port has been chosen yet").
    using EndpointReader = std::function<std::optional<Endpoint>(std::string& error)>;
    // The actions of the agent's capability report; absent when it cannot be asked.
    using ActionsReader = std::function<std::optional<std::vector<std::string>>()>;

    static constexpr const char* notRunningCode = "agent_not_running";
    static constexpr std::size_t activityRecords = 20;

    // `log` is the agent's private command log, read for the recent activity.
    LoopbackToolCaller(EndpointReader endpoint, ActionsReader actions, std::filesystem::path log,
                       std::chrono::milliseconds timeout);

    QCoro::Task<McpCallOutcome> call(std::string action, JSON params) override;
    QCoro::Task<std::optional<std::vector<std::string>>> actions() override;
    QCoro::Task<McpCallOutcome> recentActivity() override;

    // One loopback answer as an outcome: 200 with the result, or the agent's refusal.
    static McpCallOutcome outcome(int status, const std::string& body);
    // The newest final records of the log at `file`, newest first.
    static McpCallOutcome activity(const std::filesystem::path& file, std::size_t count);

private:
    McpCallOutcome send(const std::string& body);

    EndpointReader endpoint_;
    ActionsReader actions_;
    std::filesystem::path log_;
    std::chrono::milliseconds timeout_;
    // The endpoint last read, shared by the worker threads.
    std::mutex mutex_;
    std::optional<Endpoint> known_;
    // Declared last: going away waits for the calls under way, which use the members above.
    WorkerPool pool_{4};
};

} // namespace corvane
