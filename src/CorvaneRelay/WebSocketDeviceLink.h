#pragma once

#include "CorvaneRelay/DeviceLink.h"

#include <QObject>
#include <QWebSocket>

#include <functional>
#include <memory>

namespace corvane {

class DeviceHub;

// A device's WebSocket joined to the hub: every text or binary frame is one message for the hub,
// and the hub's messages leave as single text frames. Deletes itself once the socket ended.
class WebSocketDeviceLink final : public QObject, public DeviceLink {
public:
    // Opens a hub session for `socket` with its "X-Velto-Device-ID" header.
    WebSocketDeviceLink(std::unique_ptr<QWebSocket> socket, DeviceHub& hub, QObject* parent);
    ~WebSocketDeviceLink() override;

    void sendText(const std::string& text) override;
    void close(int code) override;

private:
    void ended();

    std::unique_ptr<QWebSocket> socket_;
    DeviceHub* hub_;
    std::uint64_t session_ = 0;
    bool over_ = false;
};

} // namespace corvane
