#include "Corvane/WebSocketRelaySocket.h"

#include <QTimer>

#include <stdexcept>

namespace corvane {

// Suspends until the socket has news (a message, the opening, the end); ready at once when there
// is already some.
struct WebSocketRelaySocket::Wait {
    WebSocketRelaySocket* socket;
    bool opening;

    bool await_ready() const noexcept {
        return socket->ended_ || (opening ? socket->open_ : !socket->queue_.empty());
    }
    void await_suspend(std::coroutine_handle<> handle) noexcept { socket->waiter_ = handle; }
    void await_resume() const noexcept {}
};

WebSocketRelaySocket::WebSocketRelaySocket(const QSslConfiguration& tls, QObject* parent)
    : QObject(parent) {
    socket_.setSslConfiguration(tls);
    // Counts UTF-16 units in Qt 6.4; arrived() checks the bytes as well.
    socket_.setMaxAllowedIncomingMessageSize(maxMessageBytes);
    QObject::connect(&socket_, &QWebSocket::connected, this, [this] {
        open_ = true;
        wake();
    });
    QObject::connect(&socket_, &QWebSocket::textMessageReceived, this,
                     [this](const QString& text) { arrived(text.toUtf8()); });
    QObject::connect(&socket_, &QWebSocket::binaryMessageReceived, this,
                     [this](const QByteArray& bytes) { arrived(bytes); });
    QObject::connect(&socket_, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
                     [this](QAbstractSocket::SocketError) {
                         end("the relay session failed: " + socket_.errorString().toStdString());
                     });
    QObject::connect(&socket_, &QWebSocket::disconnected, this, [this] {
        if (!closedHere_ && !relayCloseCode_) {
            relayCloseCode_ = int(socket_.closeCode());
        }
        end("the relay closed the session (" + std::to_string(int(socket_.closeCode())) + ")");
    });
}

WebSocketRelaySocket::~WebSocketRelaySocket() {
    // The socket goes after the members its signals would touch.
    socket_.disconnect(this);
}

void WebSocketRelaySocket::arrived(QByteArray bytes) {
    if (ended_) {
        return;
    }
    if (bytes.size() > maxMessageBytes) {
        close(1001);
        endReason_ = "the relay sent a message of " + std::to_string(bytes.size()) +
                     " bytes (at most " + std::to_string(maxMessageBytes) + ")";
        return;
    }
    queue_.push_back(std::move(bytes));
    wake();
}

void WebSocketRelaySocket::end(const std::string& reason) {
    if (ended_) {
        return;
    }
    ended_ = true;
    endReason_ = reason;
    wake();
}

void WebSocketRelaySocket::wake() {
    if (!waiter_) {
        return;
    }
    // Through the event loop: the reader may close or drop this socket, which must not happen
    // inside one of its own signals.
    const std::coroutine_handle<> waiter = std::exchange(waiter_, nullptr);
    QTimer::singleShot(0, this, [waiter] { waiter.resume(); });
}

QCoro::Task<void> WebSocketRelaySocket::open(QNetworkRequest request) {
    socket_.open(request);
    co_await Wait{this, true};
    if (!open_ || ended_) {
        throw std::runtime_error(endReason_.empty() ? "the relay session did not open"
                                                    : endReason_);
    }
}

QCoro::Task<std::optional<QByteArray>> WebSocketRelaySocket::receive() {
    co_await Wait{this, false};
    // What the relay sent before it closed is still read ("bye", then the close); after the agent
    // closed the session nothing more is.
    if (queue_.empty() || closedHere_) {
        co_return std::nullopt;
    }
    QByteArray next = std::move(queue_.front());
    queue_.pop_front();
    co_return next;
}

QCoro::Task<void> WebSocketRelaySocket::sendText(std::string text) {
    if (!open_ || ended_) {
        throw std::runtime_error("the relay session is closed");
    }
    const qint64 sent = socket_.sendTextMessage(QString::fromStdString(text));
    if (sent < qint64(text.size())) {
        throw std::runtime_error("the relay session did not take the message: " +
                                 socket_.errorString().toStdString());
    }
    // Hand it to the system now rather than at the next turn of the event loop.
    socket_.flush();
    co_return;
}

void WebSocketRelaySocket::close(int code) {
    if (closedHere_) {
        return;
    }
    closedHere_ = true;
    socket_.close(QWebSocketProtocol::CloseCode(code));
    end("the agent closed the session (" + std::to_string(code) + ")");
}

void WebSocketRelaySocket::abort(const std::string& reason) {
    closedHere_ = true;
    end(reason);
    socket_.abort();
}

} // namespace corvane
