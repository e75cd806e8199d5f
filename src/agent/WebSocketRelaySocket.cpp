#include "agent/WebSocketRelaySocket.h"

#include "agent/RelayTrust.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTimer>
#include <QUrl>

#include <array>
#include <stdexcept>

namespace corvane {

namespace {

constexpr qint64 readChunk = 16 * 1024;

QByteArray randomBytes(std::size_t count) {
    QByteArray bytes(qsizetype(count), Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()),
                                          qsizetype(count / sizeof(quint32)));
    return bytes;
}

QByteArray acceptFor(const QByteArray& key) {
    return QCryptographicHash::hash(key + QByteArrayLiteral("258EAFA5-E914-47DA-95CA-C5AB0DC85B11"),
                                    QCryptographicHash::Sha1)
        .toBase64();
}

bool headerSafe(const QByteArray& text) {
    return !text.contains('\r') && !text.contains('\n') && !text.contains('\0');
}

// The upgrade request for `url` with the caller's extra headers; throws on a header that would
// break the request.
QByteArray upgradeRequest(const QNetworkRequest& request, const QByteArray& key) {
    const QUrl url = request.url();
    if (url.scheme() != QLatin1String("wss") || url.host().isEmpty()) {
        throw std::runtime_error("the relay session needs a wss address");
    }
    QByteArray target = url.path(QUrl::FullyEncoded).toUtf8();
    if (target.isEmpty()) {
        target = "/";
    }
    if (url.hasQuery()) {
        target += '?' + url.query(QUrl::FullyEncoded).toUtf8();
    }
    QByteArray host = url.host(QUrl::FullyEncoded).toUtf8();
    if (host.contains(':')) {
        host = '[' + host + ']';
    }
    if (url.port(443) != 443) {
        host += ':' + QByteArray::number(url.port());
    }
    QByteArray head = "GET " + target + " HTTP/1.1\r\nHost: " + host +
                      "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
                      "\r\nSec-WebSocket-Version: 13\r\n";
    for (const QByteArray& name : request.rawHeaderList()) {
        const QByteArray value = request.rawHeader(name);
        if (name.isEmpty() || name.contains(':') || !headerSafe(name) || !headerSafe(value)) {
            throw std::runtime_error("the relay session request has a malformed header");
        }
        head += name + ": " + value + "\r\n";
    }
    return head + "\r\n";
}

// Why the upgrade answer `head` (without its blank line) does not open the session; empty when
// it does.
std::string refusedUpgrade(const QByteArray& head, const QByteArray& expectedAccept) {
    const QList<QByteArray> lines = head.split('\n');
    for (const QByteArray& line : lines) {
        if (!line.endsWith('\r') && &line != &lines.back()) {
            return "the relay's answer has a bare line feed";
        }
    }
    const QList<QByteArray> status = lines.front().trimmed().split(' ');
    if (status.size() < 2 || status[0] != "HTTP/1.1") {
        return "the relay's answer is not HTTP/1.1";
    }
    if (status[1] != "101") {
        return "the relay refused the session (HTTP " + status[1].left(3).toStdString() + ")";
    }
    QByteArray upgrade;
    QByteArray connection;
    QByteArray accept;
    int accepts = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || lines[i].startsWith(' ') || lines[i].startsWith('\t')) {
            return "the relay's answer has a malformed header";
        }
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "upgrade") {
            upgrade = value.toLower();
        } else if (name == "connection") {
            connection += ',' + value.toLower();
        } else if (name == "sec-websocket-accept") {
            accept = value;
            ++accepts;
        } else if (name == "sec-websocket-extensions" || name == "sec-websocket-protocol") {
            // The agent asked for neither.
            return "the relay answered with an extension or protocol the agent did not ask for";
        }
    }
    bool connectionUpgrade = false;
    for (const QByteArray& token : connection.split(',')) {
        connectionUpgrade = connectionUpgrade || token.trimmed() == "upgrade";
    }
    if (upgrade != "websocket" || !connectionUpgrade) {
        return "the relay's answer is not a WebSocket upgrade";
    }
    if (accepts != 1 || accept != expectedAccept) {
        return "the relay's answer has the wrong Sec-WebSocket-Accept";
    }
    return {};
}

} // namespace

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

WebSocketRelaySocket::WebSocketRelaySocket(const QSslConfiguration& tls, Clock& clock,
                                           QObject* parent)
    : QObject(parent)
    , clock_(clock)
    , reader_(std::size_t(maxMessageBytes)) {
    transport_.setSslConfiguration(tls);
    // What sits decrypted and unread is bounded too; past it the relay's sends wait in TCP.
    transport_.setReadBufferSize(readBufferBytes);
    // A command's receipt and its result leave as two small messages in a row: with Nagle's
    // algorithm the second waited for the relay's delayed acknowledgement, about 40 ms a command.
    QObject::connect(&transport_, &QAbstractSocket::connected, this,
                     [this] { transport_.setSocketOption(QAbstractSocket::LowDelayOption, 1); });
    QObject::connect(&transport_, &QSslSocket::encrypted, this, &WebSocketRelaySocket::encrypted);
    QObject::connect(&transport_, &QSslSocket::readyRead, this, &WebSocketRelaySocket::readable);
    QObject::connect(&transport_, &QSslSocket::sslErrors, this,
                     [this](const QList<QSslError>& errors) {
                         complaints_ = errors;
                         if (trust_ && trust_->accepts(url_, errors)) {
                             transport_.ignoreSslErrors();
                         }
                     });
    QObject::connect(&transport_, &QAbstractSocket::errorOccurred, this,
                     [this](QAbstractSocket::SocketError error) {
                         if (error == QAbstractSocket::SslHandshakeFailedError &&
                             !complaints_.isEmpty()) {
                             end("the relay session failed: " +
                                 RelayTrust::report(trust_.get(), url_, complaints_));
                             return;
                         }
                         end("the relay session failed: " + transport_.errorString().toStdString());
                     });
    QObject::connect(&transport_, &QAbstractSocket::disconnected, this,
                     [this] { end("the relay dropped the connection"); });
}

WebSocketRelaySocket::WebSocketRelaySocket(const QSslConfiguration& tls, Clock& clock,
                                           std::shared_ptr<RelayTrust> trust, QObject* parent)
    : WebSocketRelaySocket(tls, clock, parent) {
    trust_ = std::move(trust);
}

WebSocketRelaySocket::~WebSocketRelaySocket() {
    // The socket goes after the members its signals would touch.
    transport_.disconnect(this);
    transport_.abort();
}

void WebSocketRelaySocket::encrypted() {
    if (!ended_) {
        transport_.write(requestHead_);
    }
}

void WebSocketRelaySocket::readable() {
    // A write (a pong, a close) flushes the socket, which can announce more bytes from inside
    // this loop; the loop takes them in order instead.
    if (reading_) {
        return;
    }
    reading_ = true;
    const auto done = qScopeGuard([this] { reading_ = false; });
    // After the end nothing more is read: what the relay still sends waits in the bounded
    // buffers until the connection goes.
    while (!ended_ && transport_.bytesAvailable() > 0) {
        const QByteArray chunk = transport_.read(readChunk);
        if (open_) {
            frames(chunk);
            continue;
        }
        head_ += chunk;
        const qsizetype blank = head_.indexOf("\r\n\r\n");
        if (blank < 0 ? head_.size() > qsizetype(maxResponseHead)
                      : blank + 4 > qsizetype(maxResponseHead)) {
            // Ended first: the abort announces a dropped connection on its own.
            end("the relay's answer to the upgrade is longer than 16 KiB");
            transport_.abort();
            return;
        }
        if (blank >= 0) {
            const QByteArray rest = head_.mid(blank + 4);
            answered(head_.left(blank));
            head_.clear();
            if (open_) {
                frames(rest);
            }
        }
    }
}

void WebSocketRelaySocket::answered(const QByteArray& head) {
    const std::string refusal = refusedUpgrade(head, expectedAccept_);
    if (!refusal.empty()) {
        end(refusal);
        transport_.abort();
        return;
    }
    open_ = true;
    lastHeard_ = clock_.monotonicNow();
    wake();
}

void WebSocketRelaySocket::frames(QByteArrayView bytes) {
    try {
        reader_.read(std::string_view(bytes.data(), std::size_t(bytes.size())),
                     [this](WebSocketFrameReader::Frame frame) { this->frame(std::move(frame)); });
    } catch (const WebSocketFrameReader::Refused& refused) {
        fail(refused.code(), refused.what());
    }
}

void WebSocketRelaySocket::frame(WebSocketFrameReader::Frame frame) {
    if (ended_) {
        return;
    }
    lastHeard_ = clock_.monotonicNow();
    switch (frame.opcode) {
    case Opcode::Text:
    case Opcode::Binary:
        if (queue_.size() >= maxQueuedMessages ||
            queuedBytes_ + std::size_t(frame.payload.size()) > maxQueuedBytes) {
            fail(policyViolation, "the relay sent more than " + std::to_string(maxQueuedMessages) +
                                      " messages or " + std::to_string(maxQueuedBytes) +
                                      " bytes ahead of the agent");
            return;
        }
        queuedBytes_ += std::size_t(frame.payload.size());
        queue_.push_back(std::move(frame.payload));
        wake();
        return;
    case Opcode::Ping:
        // A relay that pings without reading the pongs gets no more of them (answering only the
        // latest ping is allowed).
        if (!closeSent_ && transport_.bytesToWrite() < qint64(maxUnsentBytes)) {
            write(Opcode::Pong, frame.payload);
        }
        return;
    case Opcode::Close:
        relayCloseCode_ = frame.closeCode;
        // Echoed; the relay then ends the connection.
        end("the relay closed the session (" + std::to_string(frame.closeCode) + ")");
        sendClose(frame.closeCode == 1005 ? 0 : frame.closeCode);
        return;
    case Opcode::Pong:
    case Opcode::Continuation:
        return;
    }
}

void WebSocketRelaySocket::fail(int code, const std::string& reason) {
    closedHere_ = true;
    end(reason);
    sendClose(code);
    transport_.disconnectFromHost();
}

bool WebSocketRelaySocket::write(Opcode opcode, QByteArrayView payload) {
    QByteArray frame;
    frame.reserve(payload.size() + 14);
    frame.append(char(0x80 | std::uint8_t(opcode)));
    const auto length = std::uint64_t(payload.size());
    if (length < 126) {
        frame.append(char(0x80 | length));
    } else if (length <= 0xFFFF) {
        frame.append(char(0x80 | 126));
        frame.append(char(length >> 8));
        frame.append(char(length & 0xFF));
    } else {
        frame.append(char(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8) {
            frame.append(char((length >> shift) & 0xFF));
        }
    }
    // A fresh unpredictable mask for every frame, as clients must.
    const QByteArray mask = randomBytes(4);
    frame += mask;
    const qsizetype start = frame.size();
    frame.append(payload.data(), payload.size());
    for (qsizetype i = 0; i < payload.size(); ++i) {
        frame[start + i] = char(frame[start + i] ^ mask[i % 4]);
    }
    const qint64 written = transport_.write(frame);
    // Hand it to the system now rather than at the next turn of the event loop.
    transport_.flush();
    return written == frame.size();
}

void WebSocketRelaySocket::sendClose(int code) {
    if (closeSent_ || !open_) {
        return;
    }
    closeSent_ = true;
    std::array<char, 2> payload{};
    if (code != 0) {
        payload = {char(code >> 8), char(code & 0xFF)};
    }
    write(Opcode::Close, QByteArrayView(payload.data(), code != 0 ? 2 : 0));
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
    const QByteArray key = randomBytes(16).toBase64();
    requestHead_ = upgradeRequest(request, key);
    expectedAccept_ = acceptFor(key);
    const QUrl url = request.url();
    url_ = url;
    // The peer's name is checked against the host asked for.
    transport_.connectToHostEncrypted(url.host(), quint16(url.port(443)));
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
    queuedBytes_ -= std::size_t(next.size());
    co_return next;
}

QCoro::Task<void> WebSocketRelaySocket::sendText(std::string text) {
    if (!open_ || ended_ || closeSent_) {
        throw std::runtime_error("the relay session is closed");
    }
    if (transport_.bytesToWrite() > qint64(maxUnsentBytes)) {
        throw std::runtime_error("the relay has not read the agent's last " +
                                 std::to_string(transport_.bytesToWrite()) + " bytes");
    }
    if (!write(Opcode::Text, QByteArrayView(text.data(), qsizetype(text.size())))) {
        throw std::runtime_error("the relay session did not take the message: " +
                                 transport_.errorString().toStdString());
    }
    co_return;
}

void WebSocketRelaySocket::close(int code) {
    if (closedHere_) {
        return;
    }
    closedHere_ = true;
    end("the agent closed the session (" + std::to_string(code) + ")");
    if (open_) {
        sendClose(code);
    } else {
        transport_.abort();
    }
}

void WebSocketRelaySocket::abort(const std::string& reason) {
    closedHere_ = true;
    end(reason);
    transport_.abort();
}

void WebSocketRelaySocket::ping() {
    if (open_ && !ended_ && transport_.bytesToWrite() < qint64(maxUnsentBytes)) {
        write(Opcode::Ping, {});
    }
}

} // namespace corvane
