#pragma once

#include "relay/DeviceHub.h"

#include <QCoro/QCoroTask>

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace corvane {

// Tool calls waiting for their commands' ends: the hub tells every change of a command (the
// server's observer forwards it here), and each wait resumes once its command is finished,
// whether by the device's result, the device going away or the hub's deadlines. Main thread only.
class RelayMcpCommandWaits {
public:
    RelayMcpCommandWaits() = default;
    // Waits still open end without a command: the relay is going away.
    ~RelayMcpCommandWaits();
    RelayMcpCommandWaits(const RelayMcpCommandWaits&) = delete;
    RelayMcpCommandWaits& operator=(const RelayMcpCommandWaits&) = delete;

    // The finished command `commandId`; nullopt when this object went first. It must be called
    // before control returns to the event loop after the command was sent, so that no end is
    // missed. Nothing of this object is touched after the wait resumes.
    QCoro::Task<std::optional<DeviceHub::Command>> finished(std::string commandId);

    void commandChanged(const DeviceHub::Command& command);
    // Ends every wait without a command, and those asked for from now on at once.
    void endAll();
    bool ended() const noexcept { return ended_; }

    std::size_t waiting() const noexcept { return waits_.size(); }

    // One wait, shared with its coroutine; defined in the implementation.
    struct Wait;

private:
    std::multimap<std::string, std::shared_ptr<Wait>, std::less<>> waits_;
    bool ended_ = false;
};

} // namespace corvane
