#pragma once

#include "agent/RelaySocket.h"
#include "core/Clock.h"
#include "core/WebSocketFrameReader.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QObject>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QUrl>
#include <qcoro/qcorotask.h>

#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace corvane {

class RelayTrust;

// The relay session's transport: a WebSocket client of our own over QSslSocket (QWebSocket keeps a
// whole frame before its size limit applies and refuses a character split across fragments).
//
// Bounds on what the relay can make the agent hold: the upgrade answer's head (16 KiB), the
// message being assembled (maxMessageBytes, refused on a frame's declared length before its
// payload is kept), the received messages not yet taken by receive() (maxQueuedMessages and
// maxQueuedBytes: a relay sending past them while a command runs ends the session with 1008), the
// socket's read buffer, and what the relay leaves unread (pongs are skipped and sends refused past
// maxUnsentBytes).
//
// Messages (text or binary, as bytes) are queued from the moment the session opens, and the
// reader is resumed through the event loop, never from inside the socket's own signals. Every
// frame received counts as life (lastHeard()); ping() asks a quiet relay for one. Main thread
// only.
class WebSocketRelaySocket final : public QObject, public RelaySocket {
    Q_OBJECT

public:
    static constexpr std::int64_t maxMessageBytes = 65536;
    // The relay keeps at most 32 commands outstanding per device; four times the largest such
    // backlog is still refused long before it costs memory.
    static constexpr std::size_t maxQueuedMessages = 256;
    static constexpr std::size_t maxQueuedBytes = 4 * 1024 * 1024;
    static constexpr std::size_t maxResponseHead = 16 * 1024;
    static constexpr std::size_t maxUnsentBytes = 1024 * 1024;
    static constexpr qint64 readBufferBytes = 256 * 1024;
    // Sent when the relay overruns the queue.
    static constexpr int policyViolation = 1008;

    // `clock` (for lastHeard) must outlive the socket.
    WebSocketRelaySocket(const QSslConfiguration& tls, Clock& clock, QObject* parent = nullptr);
    // With `trust`, a certificate pinned for the session's address is accepted too, and a refused
    // certificate is reported to it.
    WebSocketRelaySocket(const QSslConfiguration& tls, Clock& clock,
                         std::shared_ptr<RelayTrust> trust, QObject* parent = nullptr);
    ~WebSocketRelaySocket() override;

    // Opens the session on the request's wss URL with its raw headers; throws std::runtime_error
    // with the reason when the connection, TLS or the upgrade fails, or when abort() ends the
    // attempt.
    QCoro::Task<void> open(QNetworkRequest request);
    // The next message's bytes; absent once the session has ended (closed by either side, failed,
    // or the relay broke the protocol or a bound).
    QCoro::Task<std::optional<QByteArray>> receive();
    // Why the session ended (empty while it runs).
    const std::string& endReason() const noexcept { return endReason_; }
    // The code the relay closed the session with; absent unless the relay closed it.
    std::optional<int> relayCloseCode() const noexcept { return relayCloseCode_; }
    // When the last frame of any kind arrived (the opening, before the first).
    Clock::MonotonicTime lastHeard() const noexcept { return lastHeard_; }

    QCoro::Task<void> sendText(std::string text) override;
    // Closes with `code` and ends receiving at once.
    void close(int code) override;
    // Gives up at once (an opening that takes too long, a relay gone silent).
    void abort(const std::string& reason);
    // Sends a ping; any conforming relay answers with a pong.
    void ping();

private:
    using Opcode = WebSocketFrameReader::Opcode;
    struct Wait;

    void encrypted();
    void readable();
    void answered(const QByteArray& head);
    void frames(QByteArrayView bytes);
    void frame(WebSocketFrameReader::Frame frame);
    // Ends the session for a broken rule, telling the relay why with `code`.
    void fail(int code, const std::string& reason);
    // Writes one masked frame; false when the socket did not take it.
    bool write(Opcode opcode, QByteArrayView payload);
    void sendClose(int code);
    void end(const std::string& reason);
    void wake();

    Clock& clock_;
    std::shared_ptr<RelayTrust> trust_;
    QUrl url_;
    QList<QSslError> complaints_;
    QSslSocket transport_;
    WebSocketFrameReader reader_;
    QByteArray requestHead_;
    QByteArray expectedAccept_;
    QByteArray head_;
    std::deque<QByteArray> queue_;
    std::size_t queuedBytes_ = 0;
    bool open_ = false;
    bool reading_ = false;
    bool ended_ = false;
    bool closedHere_ = false;
    bool closeSent_ = false;
    std::string endReason_;
    std::optional<int> relayCloseCode_;
    Clock::MonotonicTime lastHeard_{};
    std::coroutine_handle<> waiter_;
};

} // namespace corvane
