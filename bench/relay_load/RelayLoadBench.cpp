// Figures, not a check; run by hand in the release build (its own program: it takes minutes):
//   cmake --build --preset release -j2 --target relay_load_bench
//   build/release/bench/relay_load_bench
// Many light simulated devices speak the device protocol to a real velto-relay process with
// heartbeats flowing; the relay's resident memory and CPU per device (over one heartbeat round),
// its memory once the devices left, and the dashboard → relay → device → relay → dashboard round
// trip are recorded. RELAY_LOAD_DEVICES and RELAY_LOAD_COMMANDS change the counts (1000 each by
// default; 10000 devices need a hard descriptor limit above 20000, see `ulimit -Hn`).
// VELTO_RELAY_PROGRAM runs another relay build (RELAY_LOAD_NO_PER_ADDRESS=1 for one without
// --connections-per-address).
#include "../ProcessStats.h"
#include "DeviceMessages.h"
#include "HttpsClient.h"

#include "core/ContractValidator.h"
#include "core/Envelope.h"
#include "core/JSON.h"
#include "core/SystemClock.h"
#include "relay/RelayPairing.h"
#include "relay/RelayPasswords.h"
#include "relay/SqliteRelayStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace corvane;
using corvane::bench::cpuSeconds;
using corvane::bench::residentKiB;
using corvane::bench::waitFor;
using corvane::test::capabilities;
using corvane::test::helloWith;
using corvane::test::HttpsClient;

int failed(const std::string& why) {
    std::fprintf(stderr, "relay load: %s\n", why.c_str());
    return 1;
}

void raiseDescriptorLimit() {
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0) {
        descriptors.rlim_cur = descriptors.rlim_max;
        setrlimit(RLIMIT_NOFILE, &descriptors);
    }
}

// One simulated computer: says hello, heartbeats every 20 seconds, answers every command at once.
class LightDevice final : public QObject {
public:
    LightDevice(const QString& origin, const QList<QSslCertificate>& trusted, std::string id,
                std::string token)
        : id_(std::move(id))
        , token_(std::move(token)) {
        QObject::connect(&socket_, &QWebSocket::connected, this, [this] {
            socket_.sendTextMessage(QString::fromStdString(helloWith(token_).data()));
        });
        QObject::connect(
            &socket_, &QWebSocket::textMessageReceived, this, [this](const QString& text) {
                const JSON message = JSON::parse(text.toStdString());
                const std::string type = *message.stringMember("type");
                if (type == "ready") {
                    ready = true;
                } else if (type == "command") {
                    const std::string id = *message.stringMember("command_id");
                    socket_.sendTextMessage(QString::fromStdString(
                        envelope("delivered", JSON::Object{{"command_id", JSON(id)}}).data()));
                    socket_.sendTextMessage(QString::fromStdString(
                        envelope("result", successResult(id, JSON(JSON::Object{}))).data()));
                }
            });
        heartbeat_.setInterval(20000);
        QObject::connect(&heartbeat_, &QTimer::timeout, this, [this] {
            socket_.sendTextMessage(QString::fromStdString(
                envelope("heartbeat", JSON::Object{{"capabilities", capabilities()}}).data()));
        });
        heartbeat_.start();
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(trusted);
        socket_.setSslConfiguration(tls);
        QUrl url(origin + QStringLiteral("/v1/ws/device"));
        url.setScheme(QStringLiteral("wss"));
        QNetworkRequest request(url);
        request.setRawHeader("X-Velto-Device-ID", QByteArray::fromStdString(id_));
        socket_.open(request);
    }

    bool ready = false;
    QString why() const {
        return QStringLiteral("state %1 close %2 %3")
            .arg(socket_.state())
            .arg(static_cast<int>(socket_.closeCode()))
            .arg(socket_.errorString());
    }

private:
    std::string id_;
    std::string token_;
    QWebSocket socket_;
    QTimer heartbeat_;
};

int measure() {
    const int devices = qEnvironmentVariableIntValue("RELAY_LOAD_DEVICES") > 0
                            ? qEnvironmentVariableIntValue("RELAY_LOAD_DEVICES")
                            : 1000;
    const int commands = qEnvironmentVariableIntValue("RELAY_LOAD_COMMANDS") > 0
                             ? qEnvironmentVariableIntValue("RELAY_LOAD_COMMANDS")
                             : 1000;
    QTemporaryDir dir;
    std::vector<std::pair<std::string, std::string>> paired;
    const std::string password = "load test password";
    {
        // The devices are paired straight in the relay's database before it starts.
        SqliteRelayStore store(dir.filePath(QStringLiteral("relay.sqlite")));
        SystemClock clock;
        const ContractValidator validator(QStringLiteral(CORVANE_SCHEMA_PATH));
        RelayPairing pairing(store, clock, validator);
        const std::int64_t owner = *store.createAccount("load", RelayPasswords::hashNow(password));
        for (int i = 0; i < devices; ++i) {
            const JSON code = pairing.code(JSON(JSON::Object{{"device_name", JSON("Load")},
                                                             {"kind", JSON("mac")},
                                                             {"agent_version", JSON("0.1.0")}}));
            pairing.approve(*code.stringMember("code"), owner);
            const std::string token = "load-token-" + std::to_string(i);
            pairing.redeem(*code.stringMember("bootstrap_token"),
                           JSON(JSON::Object{{"device_token", JSON(token)}}));
            paired.emplace_back(*code.stringMember("device_id"), token);
        }
    }
    QProcess relay;
    // Its log goes to a file: an unread pipe would fill and stop the relay.
    relay.setStandardErrorFile(dir.filePath(QStringLiteral("relay.err")));
    // Every simulated device comes from 127.0.0.1. A relay that does not know the option (an
    // older build) is started without it.
    QStringList arguments{QStringLiteral("--data"), dir.path(), QStringLiteral("--port"),
                          QStringLiteral("0")};
    if (qEnvironmentVariableIsEmpty("RELAY_LOAD_NO_PER_ADDRESS")) {
        arguments << QStringLiteral("--connections-per-address") << QString::number(devices + 16);
    }
    relay.start(qEnvironmentVariable("VELTO_RELAY_PROGRAM", QStringLiteral(VELTO_RELAY_PROGRAM)),
                arguments);
    std::string out;
    if (!waitFor(
            [&] {
                out += relay.readAllStandardOutput().toStdString();
                return out.find("dashboard at") != std::string::npos;
            },
            30000)) {
        return failed("the relay did not start: " + out);
    }
    const QString origin = QRegularExpression(QStringLiteral("listening on (\\S+)"))
                               .match(QString::fromStdString(out))
                               .captured(1);
    const QList<QSslCertificate> trusted =
        QSslCertificate::fromPath(QRegularExpression(QStringLiteral("certificate (/\\S+)"))
                                      .match(QString::fromStdString(out))
                                      .captured(1));
    waitFor([] { return false; }, 500);
    const long idle = residentKiB(relay.processId());

    std::vector<std::unique_ptr<LightDevice>> simulated;
    const auto allReady = [&] {
        return std::all_of(simulated.begin(), simulated.end(),
                           [](const auto& d) { return d->ready; });
    };
    // In batches, so that this one-threaded client finishes each TLS handshake in time.
    bool connected = true;
    for (const auto& [id, token] : paired) {
        simulated.push_back(std::make_unique<LightDevice>(origin, trusted, id, token));
        QCoreApplication::processEvents();
        if (simulated.size() % 200 == 0 && !waitFor(allReady, 60000)) {
            connected = false;
            break;
        }
    }
    if (!connected || !waitFor(allReady, 120000)) {
        return failed(std::to_string(std::count_if(simulated.begin(), simulated.end(),
                                                   [](const auto& d) { return d->ready; })) +
                      " ready; " + simulated.front()->why().toStdString() + " / " +
                      simulated.back()->why().toStdString());
    }
    // Long enough for every device's heartbeat to arrive once.
    const double cpuBefore = cpuSeconds(relay.processId());
    QElapsedTimer round;
    round.start();
    waitFor([] { return false; }, 21000);
    const double cpuShare =
        (cpuSeconds(relay.processId()) - cpuBefore) / (static_cast<double>(round.elapsed()) / 1e3);
    const long loaded = residentKiB(relay.processId());

    HttpsClient client(origin, trusted);
    const HttpsClient::Reply signedIn =
        client.post(QStringLiteral("/v1/account/sign-in"),
                    JSON(JSON::Object{{"name", JSON("load")}, {"password", JSON(password)}}));
    if (signedIn.status != 200) {
        return failed("sign-in answered " + std::to_string(signedIn.status));
    }
    const std::map<QByteArray, QByteArray> session{
        {"Cookie", signedIn.header("set-cookie").split(';').front()},
        {"X-CSRF-Token", QByteArray::fromStdString(*signedIn.body.stringMember("csrf"))}};
    std::vector<double> ms;
    for (int i = 0; i < commands; ++i) {
        QElapsedTimer timer;
        timer.start();
        const QString device =
            QString::fromStdString(paired[static_cast<std::size_t>(i % devices)].first);
        const HttpsClient::Reply sent = client.post(
            QStringLiteral("/v1/devices/%1/commands").arg(device),
            JSON(JSON::Object{{"action", JSON("get_state")}, {"params", JSON(JSON::Object{})}}),
            session);
        if (sent.status != 202) {
            return failed("the command was refused: " + sent.raw.toStdString());
        }
        const QString path = QStringLiteral("/v1/commands/") +
                             QString::fromStdString(*sent.body.stringMember("command_id"));
        while (true) {
            const HttpsClient::Reply view = client.get(path, session);
            if (const std::string* state = view.body.stringMember("state");
                state && *state == "finished") {
                break;
            }
        }
        ms.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    simulated.clear();
    // The relay gives freed memory back every ten seconds at most.
    waitFor([] { return false; }, 12000);
    const long left = residentKiB(relay.processId());
    std::sort(ms.begin(), ms.end());
    std::printf("relay load: %d devices, idle %ld KiB, loaded %ld KiB, %.1f KiB per device\n",
                devices, idle, loaded, static_cast<double>(loaded - idle) / devices);
    std::printf("relay load: heartbeats cost %.2f %% of one core (%.4f %% per device); "
                "%ld KiB once every device left\n",
                cpuShare * 100, cpuShare * 100 / devices, left);
    std::printf("relay load: %d round trips, p50 %.2f ms, p99 %.2f ms\n", commands,
                ms[ms.size() / 2], ms[ms.size() * 99 / 100]);
    relay.kill();
    relay.waitForFinished(5000);
    QFile errors(dir.filePath(QStringLiteral("relay.err")));
    errors.open(QIODevice::ReadOnly);
    std::printf("relay log (start): %s\n", errors.read(2000).constData());
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    raiseDescriptorLimit();
    QCoreApplication app(argc, argv);
    return measure();
}
