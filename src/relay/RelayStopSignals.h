#pragma once

#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace corvane {

// SIGTERM and SIGINT as events on the main thread, so that the relay stops cleanly (gives up its
// lease, closes its sockets) rather than dying where it stood. The signals are blocked in the
// calling thread and read from a descriptor: create this on the main thread before any other
// thread starts, so that every thread inherits the block and none is interrupted. `stop` is
// called on the first signal; a second one ends the process at once (a stop that hangs).
class RelayStopSignals {
public:
    explicit RelayStopSignals(std::function<void()> stop);
    ~RelayStopSignals();
    RelayStopSignals(const RelayStopSignals&) = delete;
    RelayStopSignals& operator=(const RelayStopSignals&) = delete;

private:
    void received();

    std::function<void()> stop_;
    int descriptor_ = -1;
    bool stopping_ = false;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace corvane
