#pragma once

#include "core/JSON.h"

#include <QString>

#include <chrono>
#include <string>
#include <vector>

namespace corvane {

// A client of a JSON-lines control socket (the simulated Mac's, the agent's own): one JSON command
// per line, one JSON answer line each. Commands go in order over one connection and stop at the
// first refusal. Waiting runs the calling thread's event loop.
class ControlSocketClient {
public:
    // Who answers, for the messages: "the simulated Mac" and "no simulated Mac is running".
    struct Peer {
        std::string name;
        std::string absent;
    };

    struct Outcome {
        // The answers received, one per command sent, the last one possibly a refusal.
        std::vector<JSON> answers;
        // Empty when every command was answered {"ok": true, ...}; otherwise what went wrong
        // (the peer's own "error" text, or why it could not be asked).
        std::string error;
        bool ok() const { return error.empty(); }
    };

    static Outcome run(const QString& socketPath, const std::vector<JSON>& commands,
                       const Peer& peer,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));
};

} // namespace corvane
