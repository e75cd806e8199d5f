#pragma once

#include "relay/CommandBus.h"

#include "core/Clock.h"

#include <QObject>

#include <deque>
#include <map>

namespace corvane {

class InProcessDevicePresence;

// The bus of one relay: a command for a device it holds comes back to it on the event loop's next
// turn, and so does the answer. Ids are remembered `keepTime`, as the shared bus does, so that a
// command sent twice is handed over once.
class InProcessCommandBus final : public CommandBus {
public:
    static constexpr std::chrono::minutes keepTime{10};

    InProcessCommandBus(const InProcessDevicePresence& presence, const Clock& clock)
        : presence_(presence)
        , clock_(clock) {}

    void listen(Handlers handlers) override { handlers_ = std::move(handlers); }
    QCoro::Task<Sent> send(Command command) override;
    QCoro::Task<bool> answer(std::string commandId, std::string body) override;
    QCoro::Task<void> sweep() override;
    // One relay's dashboards are all its own.
    QCoro::Task<void> publish(Event) override { co_return; }
    QCoro::Task<std::optional<std::string>> lastReport(std::string) override {
        co_return std::nullopt;
    }

private:
    const InProcessDevicePresence& presence_;
    const Clock& clock_;
    Handlers handlers_;
    std::map<std::string, bool, std::less<>> open_; // id → answered
    std::deque<std::pair<Clock::WallTime, std::string>> sentOrder_;
    QObject context_; // deliveries wait for the event loop on it
};

} // namespace corvane
