#include "velto/SimControlClient.h"

#include "velto/ControlSocketClient.h"

namespace corvane {

SimControlClient::Outcome SimControlClient::run(const QString& socketPath,
                                                const std::vector<JSON>& commands,
                                                std::chrono::milliseconds timeout) {
    const ControlSocketClient::Outcome outcome = ControlSocketClient::run(
        socketPath, commands, {"the simulated Mac", "no simulated Mac is running"}, timeout);
    return Outcome{outcome.answers, outcome.error};
}

} // namespace corvane
