#pragma once

#include "relay/CommandBus.h"

#include "core/Clock.h"

#include <QObject>

#include <memory>

namespace corvane {

class PostgresConnection;
class PostgresListener;

// The bus over the shared database. Each command is a row (kept `keepTime`, so an id sent again
// within it is refused), routed in the statement that inserts it to the relay whose lease holds
// the device, and announced on that relay's channel with NOTIFY: the whole command when the
// notice stays within PostgreSQL's 8000-byte limit, else only its id. The holder takes the row
// (sent → taken) before handing it over, so a repeated notice or a recovery never hands it twice
// and a command already ended as lost is never handed at all; the result goes back the same way
// on the sender's channel. Each relay listens on a connection of its own and, whenever that
// LISTEN is (re)made, reads the rows it missed. The sender's sweep ends as lost the commands
// whose holder's lease ran out; any relay's sweep ends in the audit the commands whose sender's
// lease ran out (state 5: never handed over, never answered). Events go to every other relay
// with a lease on its channel, a device's report kept in its row first, so that a notice too
// large carries only the device and is read. Main thread.
class PostgresCommandBus final : public CommandBus {
public:
    static constexpr std::chrono::minutes keepTime{10};
    // Longest NOTIFY payload PostgreSQL takes.
    static constexpr std::size_t largestNotice = 7999;

    // `relayId` as the presence's (lower-case letters and digits).
    PostgresCommandBus(PostgresConnection& connection, const Clock& clock, std::string relayId);
    ~PostgresCommandBus() override;

    void listen(Handlers handlers) override;
    QCoro::Task<Sent> send(Command command) override;
    QCoro::Task<bool> answer(std::string commandId, std::string body) override;
    QCoro::Task<void> sweep() override;
    QCoro::Task<void> publish(Event event) override;
    QCoro::Task<std::optional<std::string>> lastReport(std::string deviceId) override;

private:
    void noticed(const std::string& payload);
    QCoro::Task<> take(std::string id, bool whole, std::string deviceId, std::string body);
    QCoro::Task<> collect(std::string id, bool whole, std::string body);
    QCoro::Task<> recover();
    QCoro::Task<> readReport(Event event);
    void report(std::exception_ptr error);
    std::function<void(std::exception_ptr)> onError();

    PostgresConnection& connection_;
    const Clock& clock_;
    std::string relayId_;
    Handlers handlers_;
    bool recoverAtSweep_ = false;
    Clock::WallTime purgedAt_;
    // Tasks still running when the bus goes see this gone.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    QObject context_;                            // notices reach the main thread through it
    std::unique_ptr<PostgresListener> listener_; // after context_: stopped before it goes
};

} // namespace corvane
