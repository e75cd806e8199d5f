#pragma once

#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace corvane {

// Carries a command to the relay holding its device's socket and the result back to the relay
// that sent it. Bodies are opaque text (the envelopes as JSON). A command id is handed to a
// holder once, even when sent twice or announced twice; a holder that dies with the command
// ends it as RelayLost for its sender within a bounded time (the holder's lease plus one sweep),
// and it is never handed to anyone afterwards. A sender that dies leaves its commands to the
// relays left: once its lease ran out, any of their sweeps ends what it left open as RelayLost
// in the audit, and its holder's answer is refused. The bus also carries what the dashboards see
// live to every other relay (events), keeping each device's last report for their lists. Main
// thread; the handlers are called on it.
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
    // A dashboard event of one account; with a device, its data is that device's last report.
    struct Event {
        std::int64_t accountId = 0;
        std::string type;
        std::string deviceId; // empty for an event of the account as a whole
        std::string data;     // the event's JSON
    };
    struct Handlers {
        // A command for a device this relay holds; answer() it.
        std::function<void(Command)> command;
        // The outcome of a command this relay sent.
        std::function<void(Result)> result;
        // A failure in the bus's own work (it goes on), for the log.
        std::function<void(std::string)> failed;
        // An event another relay published.
        std::function<void(Event)> event;
    };

    virtual ~CommandBus() = default;

    // Starts delivering to `handlers`.
    virtual void listen(Handlers handlers) = 0;
    // Sends to the relay holding the command's device.
    virtual QCoro::Task<Sent> send(Command command) = 0;
    // The result of a command this relay was handed; false when it was no longer awaited (its
    // sender already learned it as lost).
    virtual QCoro::Task<bool> answer(std::string commandId, std::string body) = 0;
    // Ends the sent commands whose holder died as RelayLost, the audit rows of commands whose
    // sender died, and forgets old ones; the owner calls it about once a second.
    virtual QCoro::Task<void> sweep() = 0;
    // Tells the other relays of `event` (a relay on its own has nobody to tell); a device's event
    // is kept as its last report first.
    virtual QCoro::Task<void> publish(Event event) = 0;
    // The last report kept for `deviceId`, absent when none was.
    virtual QCoro::Task<std::optional<std::string>> lastReport(std::string deviceId) = 0;
};

} // namespace corvane
