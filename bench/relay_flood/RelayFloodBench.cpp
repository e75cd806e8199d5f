// Figures, not a check; run by hand (a minute or two), best in the release build:
//   cmake --build --preset release -j2 --target relay_flood_bench velto-relay
//   build/release/bench/relay_flood_bench
// Two velto-relay processes on one PostgreSQL of the bench's own, HAProxy in TCP mode in front
// (Debian's haproxy), and a simulated device connected through the balancer. While wrong
// passwords flood both relays, the device keeps sending heartbeats and the dashboard keeps
// sending commands:
// - heartbeat: the device's report sent, until the dashboard of the relay holding its socket
//   shows it;
// - command round trip: posted to the other relay, carried to the device's relay and back, read
//   until it is finished;
// each as p50 / p99, quiet first and then under the flood, in one run. The flood goes to each
// relay's own port: behind a TCP balancer every sign-in would come from the balancer's one
// address and be refused after five, while the point is hundreds checked from many addresses.
// Both floods use the same 40 addresses, so the shared limits allow five checked sign-ins per
// address over both relays (200 answered 401), whatever order they come in.
// RELAY_FLOOD_SIGN_INS sets the sign-ins per relay (480).
#include "DeviceMessages.h"
#include "HttpsClient.h"
#include "PostgresServer.h"
#include "SignInFlood.h"

#include "core/ContractValidator.h"
#include "core/Envelope.h"
#include "core/JSON.h"
#include "core/SystemClock.h"
#include "relay/BlockingRelayStore.h"
#include "relay/PostgresRelayStore.h"
#include "relay/RelayPairing.h"
#include "relay/RelayPasswords.h"
#include "relay/RelayStoreThread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>
#include <QWebSocket>

#include <sys/prctl.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace corvane;
using Headers = std::map<QByteArray, QByteArray>;

constexpr const char* password = "bench password, long enough";

double percentile(std::vector<double> values, double share) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1,
                           static_cast<std::size_t>(share * static_cast<double>(values.size())))];
}

bool spinUntil(const std::function<bool()>& condition, int limitMs = 60000) {
    QElapsedTimer waited;
    waited.start();
    while (!condition()) {
        if (waited.elapsed() > limitMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return true;
}

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// A program the bench starts, killed with it.
struct Program {
    QProcess process;
    std::string output;

    explicit Program() {
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    }
    ~Program() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    std::string line(const char* pattern) {
        output += process.readAll().toStdString();
        const QRegularExpressionMatch match =
            QRegularExpression(QString::fromUtf8(pattern)).match(QString::fromStdString(output));
        return match.hasMatch() ? match.captured(1).toStdString() : std::string();
    }
};

// Starts a relay on `database`; its port, 0 when it did not come up.
quint16 startRelay(Program& relay, const QString& folder, const std::string& database,
                   const QStringList& extra = {}) {
    relay.process.start(QStringLiteral(VELTO_RELAY_PROGRAM),
                        QStringList{QStringLiteral("--data"), folder, QStringLiteral("--port"),
                                    QStringLiteral("0"), QStringLiteral("--database"),
                                    QString::fromStdString(database)} +
                            extra);
    std::string origin;
    spinUntil([&] {
        origin = relay.line("listening on (\\S+)");
        return !origin.empty() && !relay.line("(dashboard at)").empty();
    });
    return origin.empty() ? 0 : QUrl(QString::fromStdString(origin)).port();
}

// HAProxy in TCP mode: every connection to `first` while it is up, else to `second`.
bool startBalancer(Program& balancer, const QString& haproxy, const QString& config, quint16 port,
                   quint16 first, quint16 second) {
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write(QStringLiteral("global\n  maxconn 512\n"
                              "defaults\n  mode tcp\n  timeout connect 2s\n"
                              "  timeout client 1h\n  timeout server 1h\n"
                              "frontend relays\n  bind 127.0.0.1:%1\n  default_backend relays\n"
                              "backend relays\n  balance first\n  option redispatch\n"
                              "  server first 127.0.0.1:%2 check inter 200ms\n"
                              "  server second 127.0.0.1:%3 check inter 200ms\n")
                   .arg(port)
                   .arg(first)
                   .arg(second)
                   .toUtf8());
    file.close();
    balancer.process.start(haproxy, {QStringLiteral("-db"), QStringLiteral("-f"), config});
    return spinUntil([&] {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        return probe.waitForConnected(200);
    });
}

struct Figures {
    std::vector<double> heartbeats; // ms
    std::vector<double> trips;      // ms
};

void report(const char* phase, const Figures& figures) {
    std::printf("%-12s heartbeat p50 %6.1f ms, p99 %7.1f ms (%zu); command round trip p50 %6.1f "
                "ms, p99 %7.1f ms (%zu)\n",
                phase, percentile(figures.heartbeats, 0.5), percentile(figures.heartbeats, 0.99),
                figures.heartbeats.size(), percentile(figures.trips, 0.5),
                percentile(figures.trips, 0.99), figures.trips.size());
}

int run() {
    const int signIns = qEnvironmentVariableIntValue("RELAY_FLOOD_SIGN_INS") > 0
                            ? qEnvironmentVariableIntValue("RELAY_FLOOD_SIGN_INS")
                            : 480;
    const QString haproxy = QStandardPaths::findExecutable(
        QStringLiteral("haproxy"),
        {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
    if (haproxy.isEmpty()) {
        std::fprintf(stderr, "relay flood: haproxy is missing (Debian package haproxy)\n");
        return 1;
    }
    std::string why;
    const std::unique_ptr<test::PostgresServer> postgres = test::PostgresServer::start(why, true);
    if (!postgres) {
        std::fprintf(stderr, "relay flood: %s\n", why.c_str());
        return 1;
    }
    const std::string database = postgres->address(postgres->createDatabase());
    QTemporaryDir home;

    // The owner and a device, straight in the shared store.
    const ContractValidator validator(QStringLiteral(CORVANE_SCHEMA_PATH));
    SystemClock clock;
    std::string deviceId;
    const std::string deviceToken = "bench-device-token";
    {
        RelayStoreThread storeThread(
            [database] { return std::make_unique<PostgresRelayStore>(database); });
        BlockingRelayStore store(storeThread);
        const std::int64_t owner = *store.createAccount("owner", RelayPasswords::hashNow(password));
        RelayPairing pairing(store, clock, validator);
        const JSON code = pairing.code(test::codeRequest());
        pairing.approve(*code.stringMember("code"), owner);
        deviceId = *code.stringMember("device_id");
        pairing.redeem(*code.stringMember("bootstrap_token"),
                       JSON(JSON::Object{{"device_token", JSON(deviceToken)}}));
    }

    Program a;
    Program b;
    Program balancer;
    const quint16 portA = startRelay(a, home.filePath(QStringLiteral("a")), database);
    const QString certificate = QString::fromStdString(a.line("certificate (/\\S+)"));
    const QString key = QFileInfo(certificate).dir().filePath(QStringLiteral("relay-key.pem"));
    const quint16 portB =
        startRelay(b, home.filePath(QStringLiteral("b")), database,
                   {QStringLiteral("--cert"), certificate, QStringLiteral("--key"), key});
    const quint16 front = freePort();
    if (portA == 0 || portB == 0 ||
        !startBalancer(balancer, haproxy, home.filePath(QStringLiteral("haproxy.cfg")), front,
                       portB, portA)) {
        std::fprintf(stderr, "relay flood: the relays or the balancer did not come up\n%s\n%s\n",
                     a.output.c_str(), b.output.c_str());
        return 1;
    }
    const QList<QSslCertificate> trusted = QSslCertificate::fromPath(certificate);

    // The device, through the balancer (to B while it is up).
    QWebSocket device;
    bool ready = false;
    QObject::connect(&device, &QWebSocket::textMessageReceived, &device, [&](const QString& text) {
        const JSON message = JSON::parse(text.toStdString());
        const std::string type = *message.stringMember("type");
        if (type == "ready") {
            ready = true;
        } else if (type == "command") {
            device.sendTextMessage(QString::fromStdString(
                envelope("result",
                         failureResult(*message.stringMember("command_id"), "device_locked"))
                    .data()));
        }
    });
    QNetworkRequest upgrade(QUrl(QStringLiteral("wss://127.0.0.1:%1/v1/ws/device").arg(front)));
    upgrade.setRawHeader("X-Velto-Device-ID", QByteArray::fromStdString(deviceId));
    QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
    trusting.addCaCertificates(trusted);
    device.setSslConfiguration(trusting);
    device.open(upgrade);
    if (!spinUntil([&] { return device.state() == QAbstractSocket::ConnectedState; })) {
        std::fprintf(stderr, "relay flood: the device did not connect\n");
        return 1;
    }
    device.sendTextMessage(QString::fromStdString(test::helloWith(deviceToken).data()));
    if (!spinUntil([&] { return ready; })) {
        std::fprintf(stderr, "relay flood: the device was not accepted\n");
        return 1;
    }

    // The dashboard: its session works on both relays.
    test::HttpsClient holder(QStringLiteral("https://127.0.0.1:%1").arg(portB), trusted);
    test::HttpsClient other(QStringLiteral("https://127.0.0.1:%1").arg(portA), trusted);
    const test::HttpsClient::Reply signedIn =
        other.post(QStringLiteral("/v1/account/sign-in"),
                   JSON(JSON::Object{{"name", JSON("owner")}, {"password", JSON(password)}}));
    if (signedIn.status != 200) {
        std::fprintf(stderr, "relay flood: sign-in failed: %s\n", signedIn.raw.constData());
        return 1;
    }
    const Headers session{
        {"Cookie", signedIn.header("set-cookie").split(';').front()},
        {"X-CSRF-Token", QByteArray::fromStdString(*signedIn.body.stringMember("csrf"))}};
    const QString commands =
        QStringLiteral("/v1/devices/%1/commands").arg(QString::fromStdString(deviceId));
    const auto screenState = [&] {
        const JSON listed = holder.get(QStringLiteral("/v1/devices"), session).body;
        const JSON* devices = listed.find("devices");
        if (devices == nullptr || devices->array() == nullptr || devices->array()->empty()) {
            return std::string();
        }
        const JSON* capabilities = devices->array()->front().find("capabilities");
        const JSON* state = capabilities != nullptr ? capabilities->find("screen_state") : nullptr;
        return state != nullptr && state->string() != nullptr ? *state->string() : std::string();
    };

    // One heartbeat and one command; false when either went wrong. Paced at 0.6 s, within the
    // device's message budget.
    int beats = 0;
    const auto measure = [&](Figures& figures) {
        QElapsedTimer pace;
        pace.start();
        const std::string screen = ++beats % 2 == 0 ? "locked" : "unlocked";
        QElapsedTimer timer;
        timer.start();
        device.sendTextMessage(QString::fromStdString(
            envelope("heartbeat", JSON::Object{{"capabilities", test::capabilities(screen)}})
                .data()));
        if (!spinUntil([&] { return screenState() == screen; }, 20000)) {
            return false;
        }
        figures.heartbeats.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        timer.start();
        const test::HttpsClient::Reply sent =
            other.post(commands, JSON(JSON::Object{{"action", JSON("get_state")}}), session);
        const std::string* id = sent.body.stringMember("command_id");
        if (sent.status != 202 || id == nullptr) {
            return false;
        }
        const QString path = QStringLiteral("/v1/commands/") + QString::fromStdString(*id);
        if (!spinUntil(
                [&] {
                    const JSON view = other.get(path, session).body;
                    return view.stringMember("state") != nullptr &&
                           *view.stringMember("state") == "finished";
                },
                20000)) {
            return false;
        }
        figures.trips.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        spinUntil([&] { return pace.elapsed() >= 600; });
        return true;
    };

    Figures quiet;
    for (int i = 0; i < 30; ++i) {
        if (!measure(quiet)) {
            std::fprintf(stderr, "relay flood: a quiet heartbeat or command failed\n");
            return 1;
        }
    }
    Figures flooded;
    QElapsedTimer flooding;
    flooding.start();
    std::map<int, int> statuses;
    {
        const int perThread = std::max(1, signIns / 16);
        test::SignInFlood onA({portA, 16, perThread, 40});
        test::SignInFlood onB({portB, 16, perThread, 40});
        while (!onA.done() || !onB.done()) {
            if (!measure(flooded)) {
                std::fprintf(stderr,
                             "relay flood: a heartbeat or command failed under the flood\n");
                return 1;
            }
        }
        for (const test::SignInFlood* flood : {&onA, &onB}) {
            for (const auto& [status, count] : flood->statuses()) {
                statuses[status] += count;
            }
        }
    }
    const double seconds = static_cast<double>(flooding.elapsed()) / 1e3;

    std::printf("two relays on PostgreSQL behind HAProxy; the device on B, commands sent to A\n");
    report("quiet:", quiet);
    report("flood:", flooded);
    std::printf("flood: %d wrong sign-ins per relay from 40 addresses, over in %.1f s; answers:",
                16 * std::max(1, signIns / 16), seconds);
    for (const auto& [status, count] : statuses) {
        std::printf(" %d: %d", status, count);
    }
    std::printf("\n(401: checked and refused, at most 5 per address over both relays; 429: "
                "refused by the shared limit)\n");
    device.close();
    spinUntil([&] { return device.state() == QAbstractSocket::UnconnectedState; }, 5000);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        return run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "relay flood: %s\n", error.what());
        return 1;
    }
}
