#include "relay/InProcessCommandBus.h"

#include "relay/InProcessDevicePresence.h"

#include <QMetaObject>

namespace corvane {

QCoro::Task<CommandBus::Sent> InProcessCommandBus::send(Command command) {
    if (!presence_.holds(command.deviceId)) {
        co_return Sent::NoHolder;
    }
    if (!open_.emplace(command.id, false).second) {
        co_return Sent::Duplicate;
    }
    sentOrder_.emplace_back(clock_.now(), command.id);
    // Never from inside the sender's call: it may hold state the handler changes.
    QMetaObject::invokeMethod(
        &context_,
        [this, command = std::move(command)]() mutable {
            if (handlers_.command) {
                handlers_.command(std::move(command));
            }
        },
        Qt::QueuedConnection);
    co_return Sent::Queued;
}

QCoro::Task<bool> InProcessCommandBus::answer(std::string commandId, std::string body) {
    const auto found = open_.find(commandId);
    if (found == open_.end() || found->second) {
        co_return false;
    }
    found->second = true;
    QMetaObject::invokeMethod(
        &context_,
        [this,
         result = Result{std::move(commandId), Outcome::Answered, std::move(body)}]() mutable {
            if (handlers_.result) {
                handlers_.result(std::move(result));
            }
        },
        Qt::QueuedConnection);
    co_return true;
}

QCoro::Task<void> InProcessCommandBus::sweep() {
    const Clock::WallTime now = clock_.now();
    while (!sentOrder_.empty() && now - sentOrder_.front().first >= keepTime) {
        open_.erase(sentOrder_.front().second);
        sentOrder_.pop_front();
    }
    co_return;
}

} // namespace corvane
