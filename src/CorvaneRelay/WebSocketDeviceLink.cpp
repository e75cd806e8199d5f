#include "CorvaneRelay/WebSocketDeviceLink.h"

#include "CorvaneRelay/DeviceHub.h"

namespace corvane {

WebSocketDeviceLink::WebSocketDeviceLink(std::unique_ptr<QWebSocket> socket, DeviceHub& hub,
                                         QObject* parent)
    : QObject(parent)
    , socket_(std::move(socket))
    , hub_(&hub) {
    socket_->setParent(nullptr);
    // Counts UTF-16 units in this Qt; the hub checks the byte length itself.
    socket_->setMaxAllowedIncomingMessageSize(DeviceHub::largestMessage);
    QObject::connect(socket_.get(), &QWebSocket::textMessageReceived, this,
                     [this](const QString& text) {
                         if (!over_) {
                             hub_->received(session_, text.toStdString());
                         }
                     });
    QObject::connect(socket_.get(), &QWebSocket::binaryMessageReceived, this,
                     [this](const QByteArray& bytes) {
                         if (!over_) {
                             hub_->received(session_, bytes.toStdString());
                         }
                     });
    QObject::connect(socket_.get(), &QWebSocket::disconnected, this, &WebSocketDeviceLink::ended);
    const QByteArray header = socket_->request().rawHeader(QByteArrayLiteral("X-Velto-Device-ID"));
    session_ = hub_->open(*this, header.toStdString());
}

WebSocketDeviceLink::~WebSocketDeviceLink() {
    if (!over_) {
        over_ = true;
        hub_->closed(session_);
    }
    socket_->disconnect(this);
    socket_->abort();
}

void WebSocketDeviceLink::sendText(const std::string& text) {
    if (!over_) {
        socket_->sendTextMessage(QString::fromStdString(text));
    }
}

void WebSocketDeviceLink::close(int code) {
    if (over_) {
        return;
    }
    over_ = true;
    socket_->close(static_cast<QWebSocketProtocol::CloseCode>(code));
    // A peer that never answers the close frame is dropped all the same.
    if (socket_->state() == QAbstractSocket::UnconnectedState) {
        deleteLater();
    }
}

void WebSocketDeviceLink::ended() {
    if (!over_) {
        over_ = true;
        hub_->closed(session_);
    }
    deleteLater();
}

} // namespace corvane
