#include "relay/NetworkDeviceLink.h"

#include "relay/DeviceHub.h"
#include "relay/RelayWebSocketSession.h"

namespace corvane {

namespace {

constexpr int closeGoingAway = 1001;

} // namespace

NetworkDeviceLink::NetworkDeviceLink(std::shared_ptr<RelayWebSocketSession> socket, DeviceHub& hub,
                                     const std::string& deviceHeader)
    : socket_(std::move(socket))
    , hub_(&hub) {
    session_ = hub_->open(*this, deviceHeader);
}

NetworkDeviceLink::~NetworkDeviceLink() {
    if (!over_) {
        over_ = true;
        hub_->closed(session_);
        socket_->close(closeGoingAway);
    }
    RelayWebSocketSession::release(std::move(socket_));
}

void NetworkDeviceLink::sendText(const std::string& text) {
    if (!over_) {
        socket_->send(text);
    }
}

void NetworkDeviceLink::close(int code) {
    if (!over_) {
        over_ = true;
        socket_->close(code);
    }
}

void NetworkDeviceLink::received(std::string_view message) {
    if (!over_) {
        hub_->received(session_, message);
    }
    // Even after the hub closed it: the socket reads on until the close handshake ends.
    socket_->taken();
}

void NetworkDeviceLink::ended() {
    if (!over_) {
        over_ = true;
        hub_->closed(session_);
    }
}

} // namespace corvane
