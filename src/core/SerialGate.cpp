#include "core/SerialGate.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace corvane {

struct SerialGate::Pass::State {
    bool taken = false;
    std::deque<std::coroutine_handle<>> waiting;
};

SerialGate::SerialGate()
    : state_(std::make_shared<Pass::State>()) {}

std::size_t SerialGate::occupancy() const noexcept {
    return (state_->taken ? 1 : 0) + state_->waiting.size();
}

bool SerialGate::Entry::await_ready() noexcept {
    if (state_->taken) {
        return false;
    }
    state_->taken = true;
    return true;
}

void SerialGate::Entry::await_suspend(std::coroutine_handle<> waiting) {
    state_->waiting.push_back(waiting);
}

SerialGate::Pass::Pass(Pass&& other) noexcept
    : state_(std::move(other.state_)) {}

SerialGate::Pass& SerialGate::Pass::operator=(Pass&& other) noexcept {
    if (this != &other) {
        leave();
        state_ = std::move(other.state_);
    }
    return *this;
}

SerialGate::Pass::~Pass() {
    leave();
}

void SerialGate::Pass::leave() noexcept {
    const std::shared_ptr<State> state = std::move(state_);
    if (!state) {
        return;
    }
    if (state->waiting.empty()) {
        state->taken = false;
        return;
    }
    // The gate stays taken and passes to the next entrant, which resumes from the event loop:
    // resuming it here would run it inside the coroutine that is leaving.
    const std::coroutine_handle<> next = state->waiting.front();
    state->waiting.pop_front();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [next] { next.resume(); }, Qt::QueuedConnection);
}

} // namespace corvane
