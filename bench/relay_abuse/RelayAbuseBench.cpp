// Figures, not a check; run by hand (a few minutes), against any velto-relay build:
//   cmake --build --preset release -j2 --target relay_abuse_bench
//   build/release/bench/relay_abuse_bench [PATH-TO-velto-relay]
// What one hostile peer costs the relay: the CPU of one 64 KB hello naming 10,800 actions with a
// wrong token, the sign-in time while one paired device floods heartbeats of that size (45 a
// second, reconnecting whenever it is closed), the pairing rows 250 loopback addresses can make
// (20 requests each; last, since they may fill the relay's pending codes), and the relay's
// resident memory after 2,000 commands answered with 64 KB results. RELAY_ABUSE_ADDRESSES and
// RELAY_ABUSE_RESULTS change the two counts.
#include "../ProcessStats.h"
#include "DeviceMessages.h"
#include "HttpsClient.h"

#include "core/Envelope.h"
#include "core/JSON.h"
#include "core/Uuid.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using namespace corvane;
using corvane::bench::cpuSeconds;
using corvane::bench::residentKiB;
using corvane::bench::waitFor;
using corvane::test::capabilities;
using corvane::test::helloWith;
using corvane::test::HttpsClient;

using Session = std::map<QByteArray, QByteArray>;

int failed(const std::string& why) {
    std::fprintf(stderr, "relay abuse: %s\n", why.c_str());
    return 1;
}

// 10,800 distinct action names in a hello of at most 64 KB.
JSON crowdedCapabilities() {
    JSON::Array actions;
    const std::string first = "abcdefghijklmnopqrstuvwxyz";
    const std::string rest = "abcdefghijklmnopqrstuvwxyz0123456789_";
    for (const char a : first) {
        for (const char b : rest) {
            actions.emplace_back(std::string{a, b});
        }
    }
    for (const char a : first) {
        for (const char b : rest) {
            for (const char c : rest) {
                if (actions.size() < 10800) {
                    actions.emplace_back(std::string{a, b, c});
                }
            }
        }
    }
    JSON report = capabilities();
    report.object()->insert_or_assign("actions", JSON(std::move(actions)));
    return report;
}

JSON crowdedHello(const std::string& token) {
    JSON hello = helloWith(token);
    hello.object()->insert_or_assign("capabilities", crowdedCapabilities());
    return hello;
}

QWebSocket* openDevice(const QString& origin, const QList<QSslCertificate>& trusted,
                       const std::string& id, QObject* parent) {
    auto* socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, parent);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(trusted);
    socket->setSslConfiguration(tls);
    QUrl url(origin + QStringLiteral("/v1/ws/device"));
    url.setScheme(QStringLiteral("wss"));
    QNetworkRequest request(url);
    request.setRawHeader("X-Velto-Device-ID", QByteArray::fromStdString(id));
    socket->open(request);
    return socket;
}

// One pairing code request from `source` over its own TLS connection; the HTTP status.
int codeFrom(const QHostAddress& source, quint16 port, const QList<QSslCertificate>& trusted) {
    QSslSocket socket;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(trusted);
    socket.setSslConfiguration(tls);
    if (!socket.bind(source)) {
        return -1;
    }
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForEncrypted(10000)) {
        return -2;
    }
    const QByteArray body = QByteArray::fromStdString(test::codeRequest().data());
    socket.write("POST /v1/pairing/code HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                 "application/json\r\nContent-Length: " +
                 QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    QByteArray reply;
    while (!reply.contains("\r\n") && socket.waitForReadyRead(10000)) {
        reply += socket.readAll();
    }
    socket.disconnectFromHost();
    return reply.mid(9, 3).toInt();
}

struct Relay {
    ~Relay() {
        process.kill();
        process.waitForFinished(5000);
    }
    QTemporaryDir dir;
    QProcess process;
    QString origin;
    quint16 port = 0;
    QList<QSslCertificate> trusted;
    std::unique_ptr<HttpsClient> client;
    Session session;
};

std::string start(Relay& relay, const QString& program) {
    relay.process.setStandardErrorFile(relay.dir.filePath(QStringLiteral("relay.err")));
    relay.process.start(program, {QStringLiteral("--data"), relay.dir.filePath(QStringLiteral("d")),
                                  QStringLiteral("--port"), QStringLiteral("0")});
    std::string out;
    if (!waitFor(
            [&] {
                out += relay.process.readAllStandardOutput().toStdString();
                return out.find("#setup=") != std::string::npos &&
                       out.find('\n', out.find("#setup=")) != std::string::npos;
            },
            60000)) {
        return "the relay did not start: " + out;
    }
    const QString text = QString::fromStdString(out);
    relay.origin =
        QRegularExpression(QStringLiteral("listening on (\\S+)")).match(text).captured(1);
    relay.port = static_cast<quint16>(relay.origin.section(u':', -1).toUInt());
    relay.trusted = QSslCertificate::fromPath(
        QRegularExpression(QStringLiteral("certificate (/\\S+)")).match(text).captured(1));
    const std::string token =
        QRegularExpression(QStringLiteral("#setup=(\\S+)")).match(text).captured(1).toStdString();
    relay.client = std::make_unique<HttpsClient>(relay.origin, relay.trusted);
    const HttpsClient::Reply owner =
        relay.client->post(QStringLiteral("/v1/account/setup"),
                           JSON(JSON::Object{{"token", JSON(token)},
                                             {"name", JSON("owner")},
                                             {"password", JSON("abuse bench password")}}));
    if (owner.status != 200) {
        return "setup answered " + owner.raw.toStdString();
    }
    relay.session = {{"Cookie", owner.header("set-cookie").split(';').front()},
                     {"X-CSRF-Token", QByteArray::fromStdString(*owner.body.stringMember("csrf"))}};
    return {};
}

// Pairs one computer through the relay's own API; its id and token.
std::pair<std::string, std::string> pairOne(Relay& relay) {
    const HttpsClient::Reply code =
        relay.client->post(QStringLiteral("/v1/pairing/code"), test::codeRequest());
    if (code.status != 200) {
        std::fprintf(stderr, "relay abuse: no pairing code: %s\n", code.raw.constData());
        std::exit(1);
    }
    relay.client->post(QStringLiteral("/v1/pairings/approve"),
                       JSON(JSON::Object{{"code", *code.body.find("code")}}), relay.session);
    const std::string token = "abuse-token-" + Uuid::make();
    relay.client->post(
        QStringLiteral("/v1/pairing/redeem"), JSON(JSON::Object{{"device_token", JSON(token)}}),
        {{"Authorization",
          "Bearer " + QByteArray::fromStdString(*code.body.stringMember("bootstrap_token"))}});
    return {*code.body.stringMember("device_id"), token};
}

double signInMs(Relay& relay) {
    QElapsedTimer timer;
    timer.start();
    const HttpsClient::Reply reply = relay.client->post(
        QStringLiteral("/v1/account/sign-in"),
        JSON(JSON::Object{{"name", JSON("owner")}, {"password", JSON("abuse bench password")}}));
    return reply.status == 200 ? static_cast<double>(timer.nsecsElapsed()) / 1e6 : -1;
}

int measure(const QString& program) {
    const int addresses = qEnvironmentVariableIntValue("RELAY_ABUSE_ADDRESSES") > 0
                              ? qEnvironmentVariableIntValue("RELAY_ABUSE_ADDRESSES")
                              : 250;
    const int results = qEnvironmentVariableIntValue("RELAY_ABUSE_RESULTS") > 0
                            ? qEnvironmentVariableIntValue("RELAY_ABUSE_RESULTS")
                            : 2000;
    Relay relay;
    if (const std::string why = start(relay, program); !why.empty()) {
        return failed(why);
    }
    const qint64 pid = relay.process.processId();
    QObject owner;
    const QByteArray phases = qEnvironmentVariableIsSet("RELAY_ABUSE_PHASES")
                                  ? qgetenv("RELAY_ABUSE_PHASES")
                                  : QByteArrayLiteral("1234");

    // 1. A stranger's crowded hello.
    if (phases.contains('1')) {
        const std::string hello = crowdedHello("not-the-token").data();
        double helloCpu = 0;
        constexpr int hellos = 5;
        for (int i = 0; i < hellos; ++i) {
            QWebSocket* socket = openDevice(relay.origin, relay.trusted, Uuid::make(), &owner);
            if (!waitFor([&] { return socket->state() == QAbstractSocket::ConnectedState; },
                         20000)) {
                QFile log(relay.dir.filePath(QStringLiteral("relay.err")));
                log.open(QIODevice::ReadOnly);
                return failed("no device connection: " + socket->errorString().toStdString() +
                              "; " + log.readAll().toStdString());
            }
            const double before = 1000.0 * cpuSeconds(pid);
            socket->sendTextMessage(QString::fromStdString(hello));
            waitFor([&] { return socket->state() == QAbstractSocket::UnconnectedState; }, 60000);
            helloCpu += 1000.0 * cpuSeconds(pid) - before;
            delete socket;
        }
        std::printf(
            "relay abuse: hello of %zu bytes naming 10,800 actions, wrong token: %.0f ms CPU "
            "each\n",
            hello.size(), helloCpu / hellos);
    }

    // 2. Sign-in while one paired device floods.
    if (phases.contains('2')) {
        const auto [floodId, floodToken] = pairOne(relay);
        const double quiet = signInMs(relay);
        const QString heartbeat = QString::fromStdString(
            envelope("heartbeat", JSON::Object{{"capabilities", crowdedCapabilities()}}).data());
        const QString floodHello = QString::fromStdString(crowdedHello(floodToken).data());
        QWebSocket* flood = nullptr;
        int closes = 0;
        const auto reopen = [&] {
            flood = openDevice(relay.origin, relay.trusted, floodId, &owner);
            QObject::connect(flood, &QWebSocket::connected, flood, [socket = flood, &floodHello] {
                socket->sendTextMessage(floodHello);
            });
        };
        reopen();
        QTimer pump;
        pump.setInterval(1000 / 45);
        QObject::connect(&pump, &QTimer::timeout, &owner, [&] {
            if (flood->state() == QAbstractSocket::ConnectedState) {
                flood->sendTextMessage(heartbeat);
            } else if (flood->state() == QAbstractSocket::UnconnectedState) {
                ++closes;
                flood->deleteLater();
                reopen();
            }
        });
        pump.start();
        waitFor([] { return false; }, 3000);
        std::vector<double> busy;
        for (int i = 0; i < 3; ++i) {
            busy.push_back(signInMs(relay));
        }
        pump.stop();
        flood->close();
        std::sort(busy.begin(), busy.end());
        std::printf("relay abuse: sign-in %.0f ms quiet; while one device floods 45 x %lld KB/s: "
                    "%.0f / %.0f / %.0f ms (the flooder was closed %d times)\n",
                    quiet, static_cast<long long>(heartbeat.size() / 1000), busy[0], busy[1],
                    busy[2], closes);
    }

    // 3. Memory for finished commands with large results.
    if (phases.contains('3')) {
        const auto [deviceId, deviceToken] = pairOne(relay);
        QWebSocket* device = openDevice(relay.origin, relay.trusted, deviceId, &owner);
        const std::string appName(64000, 'n');
        QObject::connect(device, &QWebSocket::connected, device, [device, token = deviceToken] {
            device->sendTextMessage(QString::fromStdString(helloWith(token).data()));
        });
        QObject::connect(
            device, &QWebSocket::textMessageReceived, device,
            [device, &appName](const QString& text) {
                const JSON message = JSON::parse(text.toStdString());
                if (*message.stringMember("type") != "command") {
                    return;
                }
                const JSON app(JSON::Object{{"name", JSON(appName)},
                                            {"bundle_id", JSON("com.example.app")},
                                            {"last_opened", JSON()},
                                            {"running", JSON(false)}});
                device->sendTextMessage(QString::fromStdString(
                    envelope("result",
                             successResult(*message.stringMember("command_id"),
                                           JSON(JSON::Object{{"apps", JSON(JSON::Array{app})},
                                                             {"next_offset", JSON()}})))
                        .data()));
            });
        waitFor([] { return false; }, 2000);
        const long idle = residentKiB(pid);
        int sent = 0;
        while (sent < results) {
            const HttpsClient::Reply reply = relay.client->post(
                QStringLiteral("/v1/devices/%1/commands").arg(QString::fromStdString(deviceId)),
                JSON(JSON::Object{{"action", JSON("list_apps")}, {"params", JSON(JSON::Object{})}}),
                relay.session);
            if (reply.status == 202) {
                ++sent;
            } else if (reply.code() != "device_busy") {
                return failed("command refused: " + reply.raw.toStdString());
            }
        }
        waitFor([] { return false; }, 3000);
        const long loaded = residentKiB(pid);
        std::printf("relay abuse: %d results of 64 KB: resident %ld -> %ld KiB (+%.1f MiB)\n",
                    results, idle, loaded, static_cast<double>(loaded - idle) / 1024);
    }

    // 4. Pairing rows from many loopback addresses.
    if (phases.contains('4')) {
        int answered = 0;
        QElapsedTimer pairingTime;
        pairingTime.start();
        for (int a = 0; a < addresses; ++a) {
            const QHostAddress source(
                QStringLiteral("127.0.%1.%2").arg(1 + a / 250).arg(2 + a % 250));
            for (int i = 0; i < 20; ++i) {
                answered += codeFrom(source, relay.port, relay.trusted) == 200 ? 1 : 0;
            }
        }
        {
            QSqlDatabase db =
                QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("count"));
            db.setDatabaseName(relay.dir.filePath(QStringLiteral("d/relay.sqlite")));
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            db.open();
            QSqlQuery rows(db);
            rows.exec(QStringLiteral("SELECT COUNT(*) FROM pairings"));
            rows.next();
            std::printf(
                "relay abuse: %d addresses x 20 code requests: %d answered, %d pairing rows "
                "(%.1f s)\n",
                addresses, answered, rows.value(0).toInt(),
                static_cast<double>(pairingTime.elapsed()) / 1000);
        }
        QSqlDatabase::removeDatabase(QStringLiteral("count"));
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return measure(argc > 1 ? QString::fromLocal8Bit(argv[1])
                            : QStringLiteral(VELTO_RELAY_PROGRAM));
}
