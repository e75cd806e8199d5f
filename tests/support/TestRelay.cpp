#include "support/TestRelay.h"

#include "core/WireTime.h"

#include <QFile>
#include <QSslKey>
#include <QSslSocket>

namespace corvane::test {

namespace {

QString certificateFile(const char* name) {
    return QStringLiteral(CORVANE_TEST_CERTIFICATES "/") + QString::fromUtf8(name);
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qFatal("cannot read %s", qPrintable(path));
    }
    return file.readAll();
}

const char* certificateName(TestRelay::Certificate which) {
    switch (which) {
    case TestRelay::Certificate::SelfSigned:
        return "relay-self-signed";
    case TestRelay::Certificate::OtherSelfSigned:
        return "relay-self-signed-2";
    case TestRelay::Certificate::Issued:
        break;
    }
    return "relay-server";
}

QSslConfiguration serverTLS(TestRelay::Certificate which) {
    const QString name = QString::fromUtf8(certificateName(which));
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(TestRelay::certificate(which));
    tls.setPrivateKey(
        QSslKey(fileBytes(certificateFile(qPrintable(name + QStringLiteral("-key.pem")))), QSsl::Ec,
                QSsl::Pem));
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    return tls;
}

// The value of header `name` (lower case) in `head`, empty when absent.
QByteArray header(const QByteArray& head, const QByteArray& name) {
    for (const QByteArray& line : head.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name) {
            return line.mid(colon + 1).trimmed();
        }
    }
    return {};
}

JSON readyFor(const std::string& deviceID) {
    return JSON(JSON::Object{{"type", JSON("ready")}, {"device_id", JSON(deviceID)}});
}

} // namespace

QString TestRelay::authorityFile() {
    return certificateFile("relay-ca.pem");
}

QList<QSslCertificate> TestRelay::authority() {
    return QSslCertificate::fromPath(authorityFile(), QSsl::Pem);
}

QSslCertificate TestRelay::certificate(Certificate which) {
    return QSslCertificate(
        fileBytes(certificateFile(
            qPrintable(QString::fromUtf8(certificateName(which)) + QStringLiteral(".pem")))),
        QSsl::Pem);
}

void TestRelay::serve(Certificate which) {
    server_.setSslConfiguration(serverTLS(which));
}

TestRelay::Answer TestRelay::json(int status, const JSON& body) {
    return Answer{status, QByteArray::fromStdString(body.data()), {}};
}

TestRelay::Answer TestRelay::refusal(int status, const std::string& code) {
    return json(status, JSON(JSON::Object{{"error", JSON(JSON::Object{{"code", JSON(code)}})}}));
}

TestRelay::TestRelay()
    : upgrader_(QStringLiteral("test relay"), QWebSocketServer::NonSecureMode) {
    server_.setSslConfiguration(serverTLS(Certificate::Issued));
    QObject::connect(&server_, &QTcpServer::pendingConnectionAvailable, this, &TestRelay::accepted);
    QObject::connect(&upgrader_, &QWebSocketServer::newConnection, this, &TestRelay::upgraded);
    if (!server_.listen(QHostAddress::LocalHost, 0)) {
        qFatal("the test relay cannot listen");
    }
}

TestRelay::~TestRelay() {
    sessions_.clear();
    server_.close();
}

quint16 TestRelay::port() const {
    return server_.serverPort();
}

std::string TestRelay::origin() const {
    return "https://127.0.0.1:" + std::to_string(port());
}

std::vector<QString> TestRelay::paths() const {
    std::vector<QString> out;
    for (const Request& request : requests_) {
        out.push_back(request.path);
    }
    return out;
}

void TestRelay::clear() {
    sessions_.clear();
    requests_.clear();
}

TestRelaySession* TestRelay::latest() const {
    return sessions_.empty() ? nullptr : sessions_.back().get();
}

void TestRelay::accepted() {
    while (server_.hasPendingConnections()) {
        auto* socket = qobject_cast<QSslSocket*>(server_.nextPendingConnection());
        if (socket == nullptr) {
            continue;
        }
        socket->setParent(this);
        QObject::connect(socket, &QSslSocket::readyRead, this,
                         [this, socket] { readHead(socket); });
        if (socket->bytesAvailable() > 0) {
            readHead(socket);
        }
    }
}

void TestRelay::readHead(QSslSocket* socket) {
    // Peeked, not read: an upgrade hands the whole request to the WebSocket server.
    const QByteArray seen = socket->peek(socket->bytesAvailable());
    const qsizetype end = seen.indexOf("\r\n\r\n");
    if (end < 0) {
        return;
    }
    const QByteArray head = seen.left(end);
    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    const QByteArray path = requestLine.size() > 1 ? requestLine[1] : QByteArray();
    if (path == "/v1/ws/device") {
        socket->disconnect(this);
        upgrades_.push_back({header(head, "x-velto-device-id"), socket});
        upgrader_.handleConnection(socket);
        return;
    }
    const qsizetype length = header(head, "content-length").toLongLong();
    if (seen.size() < end + 4 + length) {
        return;
    }
    socket->read(end + 4 + length);
    socket->disconnect(this);
    QObject::connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);

    Request request;
    request.path = QString::fromUtf8(path);
    const QByteArray authorization = header(head, "authorization");
    if (authorization.startsWith("Bearer ")) {
        request.bearer = authorization.mid(7);
    }
    request.contentType = header(head, "content-type");
    request.cookie = header(head, "cookie");
    try {
        request.body = JSON::parse(seen.mid(end + 4, length).toStdString());
    } catch (const std::exception&) {
        request.body = JSON();
    }
    requests_.push_back(request);
    answer(socket, onRequest ? onRequest(request) : refusal(404, "not_found"));
}

void TestRelay::answer(QSslSocket* socket, const Answer& reply) {
    if (reply.status == rawAnswer) {
        socket->write(reply.body);
        return;
    }
    if (reply.status == 0) {
        return;
    }
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(reply.status) +
                       " Test\r\nContent-Type: application/json\r\nContent-Length: " +
                       QByteArray::number(reply.body.size()) + "\r\nConnection: close\r\n" +
                       reply.headers + "\r\n";
    bytes += reply.body;
    socket->write(bytes);
    socket->disconnectFromHost();
}

void TestRelay::upgraded() {
    while (upgrader_.hasPendingConnections()) {
        std::unique_ptr<QWebSocket> socket(upgrader_.nextPendingConnection());
        socket->setParent(nullptr);
        Upgrade upgrade;
        if (!upgrades_.empty()) {
            upgrade = upgrades_.front();
            upgrades_.erase(upgrades_.begin());
        }
        sessions_.push_back(std::make_unique<TestRelaySession>(
            std::move(socket), std::move(upgrade.deviceHeader), upgrade.transport));
        if (onSession) {
            onSession(*sessions_.back());
        }
    }
}

void TestRelay::approveEverything(const std::string& deviceID, std::chrono::seconds lifetime) {
    onRequest = [deviceID, lifetime](const Request& request) {
        if (request.path == QLatin1String("/v1/pairing/code")) {
            return json(200,
                        JSON(JSON::Object{
                            {"bootstrap_token", JSON("bootstrap-" + deviceID)},
                            {"device_id", JSON(deviceID)},
                            {"code", JSON("TEST-CODE")},
                            {"expires_at",
                             JSON(WireTime::text(std::chrono::system_clock::now() + lifetime))}}));
        }
        if (request.path == QLatin1String("/v1/pairing/redeem")) {
            return json(200, JSON(JSON::Object{{"device_id", JSON(deviceID)}}));
        }
        if (request.path == QLatin1String("/v1/pairing/cancel")) {
            return json(200, JSON(JSON::Object{}));
        }
        return refusal(404, "not_found");
    };
    onSession = [deviceID](TestRelaySession& session) {
        session.onMessage = [deviceID](TestRelaySession& s, const JSON& message) {
            if (const std::string* type = message.stringMember("type");
                type != nullptr && *type == "hello") {
                s.send(readyFor(deviceID));
            }
        };
    };
}

} // namespace corvane::test
