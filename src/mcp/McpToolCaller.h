#pragma once

#include "core/JSON.h"
#include "mcp/McpCallOutcome.h"

#include <QCoro/QCoroTask>

#include <optional>
#include <string>
#include <vector>

namespace corvane {

// The device behind the tools: the running agent's loopback API for `velto mcp`, a paired device
// for the relay. Every call goes through the device's own guarded pipeline (contract check, dedup,
// deadline, lock gate, consent, private log); nothing here decides for it. Awaited on the thread
// the server runs on; the caller must outlive the calls it was given.
class McpToolCaller {
public:
    virtual ~McpToolCaller() = default;

    // Runs `action` with `params`. A refusal (or an unreachable device) is an outcome, not an
    // exception; an exception is answered as an internal error.
    virtual QCoro::Task<McpCallOutcome> call(std::string action, JSON params) = 0;

    // The actions the device's capability report offers now; absent when it cannot be read, in
    // which case every action of the contract is listed and the device refuses what it lacks.
    virtual QCoro::Task<std::optional<std::vector<std::string>>> actions() = 0;

    // The newest final records of the device's activity, newest first, as {"records": [...]}.
    virtual QCoro::Task<McpCallOutcome> recentActivity() = 0;
};

} // namespace corvane
