#include "relay/RelayMcpCommandWaits.h"

#include <QFuture>
#include <QPromise>
#include <qcoro/qcorofuture.h>

namespace corvane {

struct RelayMcpCommandWaits::Wait {
    QPromise<void> done;
    std::optional<DeviceHub::Command> command;
};

RelayMcpCommandWaits::~RelayMcpCommandWaits() {
    endAll();
}

void RelayMcpCommandWaits::endAll() {
    ended_ = true;
    for (auto& [id, wait] : waits_) {
        wait->done.finish();
    }
    waits_.clear();
}

QCoro::Task<std::optional<DeviceHub::Command>>
RelayMcpCommandWaits::finished(std::string commandId) {
    if (ended_) {
        co_return std::nullopt;
    }
    auto wait = std::make_shared<Wait>();
    wait->done.start();
    const QFuture<void> done = wait->done.future();
    waits_.emplace(std::move(commandId), wait);
    co_await done;
    co_return wait->command;
}

void RelayMcpCommandWaits::commandChanged(const DeviceHub::Command& command) {
    if (command.state != DeviceHub::CommandState::Finished) {
        return;
    }
    const auto [first, last] = waits_.equal_range(command.id);
    for (auto it = first; it != last; ++it) {
        it->second->command = command;
        it->second->done.finish();
    }
    waits_.erase(first, last);
}

} // namespace corvane
