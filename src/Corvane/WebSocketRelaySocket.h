#pragma once

#include "Corvane/RelaySocket.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QObject>
#include <QSslConfiguration>
#include <QWebSocket>
#include <qcoro/qcorotask.h>

#include <coroutine>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace corvane {

// The relay session's transport: one QWebSocket over TLS. Messages (text or binary, as bytes) are
// queued from the moment the socket exists, so nothing is lost while the reader is busy with an
// earlier one, and the reader is resumed through the event loop, never from inside the socket's
// own signals. A message above maxMessageBytes (UTF-8 bytes: the socket's own limit counts UTF-16
// units) ends the session. Main thread only.
class WebSocketRelaySocket final : public QObject, public RelaySocket {
    Q_OBJECT

public:
    static constexpr std::int64_t maxMessageBytes = 65536;

    explicit WebSocketRelaySocket(const QSslConfiguration& tls, QObject* parent = nullptr);
    ~WebSocketRelaySocket() override;

    // Opens the session; throws std::runtime_error with the transport's reason when the
    // connection, TLS or the upgrade fails, or when abort() ends the attempt.
    QCoro::Task<void> open(QNetworkRequest request);
    // The next message's bytes; absent once the session has ended (closed by either side, failed,
    // or a message was too large).
    QCoro::Task<std::optional<QByteArray>> receive();
    // Why the session ended (empty while it runs).
    const std::string& endReason() const noexcept { return endReason_; }
    // The code the relay closed the session with; absent unless the relay closed it.
    std::optional<int> relayCloseCode() const noexcept { return relayCloseCode_; }

    QCoro::Task<void> sendText(std::string text) override;
    // Closes with `code` and ends receiving at once.
    void close(int code) override;
    // Gives up at once (an opening that takes too long).
    void abort(const std::string& reason);

private:
    struct Wait;

    void arrived(QByteArray bytes);
    void end(const std::string& reason);
    void wake();

    QWebSocket socket_;
    std::deque<QByteArray> queue_;
    bool open_ = false;
    bool ended_ = false;
    bool closedHere_ = false;
    std::string endReason_;
    std::optional<int> relayCloseCode_;
    std::coroutine_handle<> waiter_;
};

} // namespace corvane
