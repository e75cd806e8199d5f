#include "support/TestRelaySession.h"

namespace corvane::test {

TestRelaySession::TestRelaySession(std::unique_ptr<QWebSocket> socket, QByteArray deviceHeader,
                                   QPointer<QSslSocket> transport)
    : socket_(std::move(socket))
    , transport_(std::move(transport))
    , deviceHeader_(std::move(deviceHeader)) {
    QObject::connect(socket_.get(), &QWebSocket::textMessageReceived, this,
                     [this](const QString& text) {
                         raw_.push_back(text.toUtf8());
                         if (onMessage) {
                             try {
                                 onMessage(*this, JSON::parse(raw_.back().toStdString()));
                             } catch (const std::exception&) {
                                 // Not JSON: recorded, nothing to react to.
                             }
                         }
                     });
    QObject::connect(socket_.get(), &QWebSocket::pong, this, [this] { ++pongs_; });
    QObject::connect(socket_.get(), &QWebSocket::disconnected, this, [this] {
        if (!closedHere_) {
            agentCloseCode_ = int(socket_->closeCode());
        }
        ended_ = true;
    });
}

TestRelaySession::~TestRelaySession() {
    if (socket_) {
        socket_->disconnect(this);
        socket_->abort();
    }
}

std::vector<JSON> TestRelaySession::messages() const {
    std::vector<JSON> out;
    for (const QByteArray& text : raw_) {
        try {
            out.push_back(JSON::parse(text.toStdString()));
        } catch (const std::exception&) {
            out.push_back(JSON());
        }
    }
    return out;
}

std::vector<std::string> TestRelaySession::types() const {
    std::vector<std::string> out;
    for (const JSON& message : messages()) {
        const std::string* type = message.stringMember("type");
        out.push_back(type != nullptr ? *type : std::string("?"));
    }
    return out;
}

std::vector<JSON> TestRelaySession::ofType(const std::string& type) const {
    std::vector<JSON> out;
    for (const JSON& message : messages()) {
        if (const std::string* t = message.stringMember("type"); t != nullptr && *t == type) {
            out.push_back(message);
        }
    }
    return out;
}

void TestRelaySession::send(const JSON& message) {
    sendText(QString::fromStdString(message.data()));
}

void TestRelaySession::sendText(const QString& text) {
    socket_->sendTextMessage(text);
}

void TestRelaySession::sendBinary(const QByteArray& bytes) {
    socket_->sendBinaryMessage(bytes);
}

void TestRelaySession::close(int code) {
    closedHere_ = true;
    socket_->close(QWebSocketProtocol::CloseCode(code), QStringLiteral("closed by the test"));
}

void TestRelaySession::sendRaw(const QByteArray& bytes) {
    if (transport_) {
        transport_->write(bytes);
        transport_->flush();
    }
}

void TestRelaySession::freeze() {
    if (transport_) {
        transport_->blockSignals(true);
    }
}

void TestRelaySession::ping() {
    socket_->ping();
}

void TestRelaySession::abort() {
    closedHere_ = true;
    socket_->abort();
}

} // namespace corvane::test
