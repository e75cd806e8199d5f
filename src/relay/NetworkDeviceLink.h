#pragma once

#include "relay/DeviceLink.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace corvane {

class DeviceHub;
class RelayWebSocketSession;

// A device's WebSocket joined to the hub, on the main thread: every message is one message for
// the hub, and the hub's messages leave as single text frames through the network thread.
class NetworkDeviceLink final : public DeviceLink {
public:
    // Opens a hub session for the socket with its "X-Velto-Device-ID" header.
    NetworkDeviceLink(std::shared_ptr<RelayWebSocketSession> socket, DeviceHub& hub,
                      const std::string& deviceHeader);
    // Tells the hub when it has not heard of the end yet, and closes the socket.
    ~NetworkDeviceLink() override;
    NetworkDeviceLink(const NetworkDeviceLink&) = delete;
    NetworkDeviceLink& operator=(const NetworkDeviceLink&) = delete;

    void sendText(const std::string& text) override;
    void close(int code) override;

    void received(std::string_view message);
    // The socket ended, whoever closed it.
    void ended();

private:
    std::shared_ptr<RelayWebSocketSession> socket_;
    DeviceHub* hub_;
    std::uint64_t session_ = 0;
    bool over_ = false;
};

} // namespace corvane
