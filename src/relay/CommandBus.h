#pragma once

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <string>

namespace corvane {

// Carries a command to the relay holding its device's socket and the result back to the relay
// that sent it. Bodies are opaque text (the envelopes as JSON). A command id is handed to a
// holder once, even when sent twice or announced twice; a holder that dies with the command
// ends it as RelayLost for its sender within a bounded time (the holder's lease plus one sweep),
// and it is never handed to anyone afterwards. Main thread; the handlers are called on it.
class CommandBus {
public:
    enum class Sent { Queued, NoHolder, Duplicate };
    // RelayLost: the holder went before answering; the command may have reached its device,
    // but the bus never hands it to anyone again.
    enum class Outcome { Answered, RelayLost };
    struct Command {
        std::string id;
        std::string deviceId;
        std::string body;
    };
    struct Result {
        std::string commandId;
        Outcome outcome = Outcome::Answered;
        std::string body; // empty when lost
    };
    struct Handlers {
        // A command for a device this relay holds; answer() it.
        std::function<void(Command)> command;
        // The outcome of a command this relay sent.
        std::function<void(Result)> result;
        // A failure in the bus's own work (it goes on), for the log.
        std::function<void(std::string)> failed;
    };

    virtual ~CommandBus() = default;

    // Starts delivering to `handlers`.
    virtual void listen(Handlers handlers) = 0;
    // Sends to the relay holding the command's device.
    virtual QCoro::Task<Sent> send(Command command) = 0;
    // The result of a command this relay was handed; false when it was no longer awaited (its
    // sender already learned it as lost).
    virtual QCoro::Task<bool> answer(std::string commandId, std::string body) = 0;
    // Ends the sent commands whose holder died as RelayLost and forgets old ones; the owner calls
    // it about once a second.
    virtual QCoro::Task<void> sweep() = 0;
};

} // namespace corvane
