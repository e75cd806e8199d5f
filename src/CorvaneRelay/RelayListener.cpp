#include "CorvaneRelay/RelayListener.h"

#include <QSslSocket>
#include <QTimer>
#include <QWebSocket>

namespace corvane {

namespace {

constexpr int silenceLimitMs = 20000;

RelayHttpResponse plain(int status) {
    RelayHttpResponse response;
    response.status = status;
    response.contentType = "text/plain; charset=utf-8";
    return response;
}

} // namespace

RelayListener::RelayListener(QSslConfiguration tls, Handler handler, Upgraded upgraded,
                             QObject* parent)
    : QObject(parent)
    , upgrader_(QStringLiteral("velto-relay"), QWebSocketServer::NonSecureMode)
    , handler_(std::move(handler))
    , upgraded_(std::move(upgraded)) {
    server_.setSslConfiguration(tls);
    QObject::connect(&server_, &QTcpServer::pendingConnectionAvailable, this,
                     &RelayListener::accepted);
    QObject::connect(&upgrader_, &QWebSocketServer::newConnection, this,
                     &RelayListener::upgradedSockets);
    // After EMFILE the server would stop accepting for good; it pauses and tries again instead.
    QObject::connect(&server_, &QTcpServer::acceptError, this,
                     [this](QAbstractSocket::SocketError) {
                         server_.pauseAccepting();
                         QTimer::singleShot(1000, this, [this] { server_.resumeAccepting(); });
                     });
}

RelayListener::~RelayListener() {
    server_.close();
}

quint16 RelayListener::listen(const QHostAddress& address, quint16 port) {
    return server_.listen(address, port) ? server_.serverPort() : 0;
}

void RelayListener::accepted() {
    while (server_.hasPendingConnections()) {
        auto* socket = qobject_cast<QSslSocket*>(server_.nextPendingConnection());
        if (socket == nullptr) {
            continue;
        }
        socket->setParent(this);
        QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QSslSocket::readyRead, this, [this, socket] { read(socket); });
        auto* silence = new QTimer(socket);
        silence->setSingleShot(true);
        QObject::connect(silence, &QTimer::timeout, socket, &QAbstractSocket::abort);
        silence->start(silenceLimitMs);
        socket->setObjectName(QStringLiteral("relay-http"));
        if (socket->bytesAvailable() > 0) {
            read(socket);
        }
    }
}

void RelayListener::read(QSslSocket* socket) {
    // Peeked, not read: an upgrade hands the whole request to the WebSocket server.
    const QByteArray seen = socket->peek(socket->bytesAvailable());
    const qsizetype end = seen.indexOf("\r\n\r\n");
    if (end < 0) {
        if (seen.size() > largestHead) {
            answer(socket, plain(431));
        }
        return;
    }
    if (end > largestHead) {
        answer(socket, plain(431));
        return;
    }
    const QList<QByteArray> lines = seen.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.front().trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine[2].startsWith("HTTP/1.")) {
        answer(socket, plain(400));
        return;
    }
    RelayHttpRequest request;
    request.method = requestLine[0];
    const QByteArray target = requestLine[1];
    request.path = QString::fromUtf8(
        target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?')));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            answer(socket, plain(400));
            return;
        }
        request.headers[line.left(colon).trimmed().toLower()] = line.mid(colon + 1).trimmed();
    }
    request.remote = socket->peerAddress();

    if (request.path == QLatin1String("/v1/ws/device") &&
        request.header("upgrade").toLower() == "websocket") {
        socket->disconnect(this);
        for (QTimer* timer : socket->findChildren<QTimer*>()) {
            timer->stop();
        }
        upgrader_.handleConnection(socket);
        return;
    }
    if (!request.header("transfer-encoding").isEmpty()) {
        answer(socket, plain(411));
        return;
    }
    bool numeric = true;
    const QByteArray lengthText = request.header("content-length");
    const qsizetype length = lengthText.isEmpty() ? 0 : lengthText.toLongLong(&numeric);
    if (!numeric || length < 0) {
        answer(socket, plain(400));
        return;
    }
    if (length > largestBody) {
        answer(socket, plain(413));
        return;
    }
    if (seen.size() < end + 4 + length) {
        return;
    }
    request.body = seen.mid(end + 4, length);
    socket->disconnect(this);
    answer(socket, handler_(request));
}

void RelayListener::answer(QSslSocket* socket, const RelayHttpResponse& response) {
    socket->disconnect(this);
    socket->read(socket->bytesAvailable());
    socket->write(response.wire());
    socket->disconnectFromHost();
}

void RelayListener::upgradedSockets() {
    while (upgrader_.hasPendingConnections()) {
        std::unique_ptr<QWebSocket> socket(upgrader_.nextPendingConnection());
        if (socket) {
            upgraded_(std::move(socket));
        }
    }
}

} // namespace corvane
