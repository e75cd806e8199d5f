// Figures, not a check; run by hand in the release build (its own program: it takes minutes):
//   cmake --build --preset release -j2 --target relay_load_bench
//   build/release/bench/relay_load_bench
// Many light simulated devices speak the device protocol to a real velto-relay process with
// heartbeats flowing; the relay's resident memory and CPU per device and per heartbeat (over one
// heartbeat round), its memory once the devices left, and the dashboard → relay → device → relay
// → dashboard round trip are recorded. The devices live in helper processes (this program again,
// up to 5,000 devices each, every helper's sockets bound to a loopback address of its own,
// 127.0.0.2, .3, ...), so that neither this process's descriptors nor one address's ports bound
// the count, and the dashboard's round trips run here alone. RELAY_LOAD_DEVICES and
// RELAY_LOAD_COMMANDS change the counts (1000 each by default); the relay holds one descriptor
// per device under its hard limit (`ulimit -Hn`). VELTO_RELAY_PROGRAM runs another relay build
// (RELAY_LOAD_NO_PER_ADDRESS=1 for one without --connections-per-address).
#include "../ProcessStats.h"
#include "DeviceFleet.h"
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
#include <QTextStream>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
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

constexpr std::size_t devicesPerHelper = 5000;

// A helper process: the devices listed in `file` ("id token" lines) from `source`, until killed.
// Prints "ready N" once every device heard its "ready", or "failed ..." at the first that could
// not connect.
int helper(const std::string& file, const std::string& source, std::uint16_t port) {
    std::vector<bench::DeviceFleet::Paired> devices;
    std::ifstream list(file);
    for (bench::DeviceFleet::Paired paired; list >> paired.id >> paired.token;) {
        devices.push_back(paired);
    }
    boost::asio::io_context io;
    bench::DeviceFleet fleet(io, {"127.0.0.1", port, source, 64}, std::move(devices));
    fleet.start();
    boost::asio::steady_timer watch(io);
    bool told = false;
    std::function<void()> check = [&] {
        if (!told && fleet.failed() > 0) {
            std::cout << "failed " << fleet.firstFailure() << std::endl;
            told = true;
        }
        if (!told && fleet.ready() == fleet.size()) {
            std::cout << "ready " << fleet.ready() << std::endl;
            told = true;
        }
        watch.expires_after(std::chrono::milliseconds(100));
        watch.async_wait([&](boost::system::error_code) { check(); });
    };
    check();
    io.run();
    return 0;
}

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
        // The devices are paired straight in the relay's database before it starts, in one
        // transaction (one sync rather than three per device).
        SqliteRelayStore store(dir.filePath(QStringLiteral("relay.sqlite")));
        SystemClock clock;
        const ContractValidator validator(QStringLiteral(CORVANE_SCHEMA_PATH));
        RelayPairing pairing(store, clock, validator);
        const std::int64_t owner = *store.createAccount("load", RelayPasswords::hashNow(password));
        store.beginGroup();
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
        store.commitGroup();
    }
    QProcess relay;
    // Its log goes to a file: an unread pipe would fill and stop the relay.
    relay.setStandardErrorFile(dir.filePath(QStringLiteral("relay.err")));
    QStringList arguments{QStringLiteral("--data"), dir.path(), QStringLiteral("--port"),
                          QStringLiteral("0")};
    if (qEnvironmentVariableIsEmpty("RELAY_LOAD_NO_PER_ADDRESS")) {
        arguments << QStringLiteral("--connections-per-address")
                  << QString::number(devicesPerHelper + 16);
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

    // The helpers, each with its share of the devices and an address of its own.
    std::vector<std::unique_ptr<QProcess>> helpers;
    std::vector<QByteArray> said;
    for (std::size_t first = 0; first < paired.size(); first += devicesPerHelper) {
        const std::size_t index = helpers.size();
        const QString list = dir.filePath(QStringLiteral("devices-%1").arg(index));
        {
            std::ofstream file(list.toStdString());
            for (std::size_t i = first; i < std::min(paired.size(), first + devicesPerHelper);
                 ++i) {
                file << paired[i].first << ' ' << paired[i].second << '\n';
            }
        }
        auto process = std::make_unique<QProcess>();
        process->setStandardErrorFile(dir.filePath(QStringLiteral("helper-%1.err").arg(index)));
        process->start(QCoreApplication::applicationFilePath(),
                       {QStringLiteral("--devices"), list, QStringLiteral("--source"),
                        QStringLiteral("127.0.0.%1").arg(index + 2), QStringLiteral("--port"),
                        QString::number(QUrl(origin).port())});
        helpers.push_back(std::move(process));
        said.emplace_back();
    }
    const auto settled = [&] {
        for (std::size_t i = 0; i < helpers.size(); ++i) {
            said[i] += helpers[i]->readAllStandardOutput();
            if (!said[i].contains("ready") && !said[i].contains("failed")) {
                return false;
            }
        }
        return true;
    };
    QElapsedTimer connecting;
    connecting.start();
    const bool allSettled = waitFor(settled, 60000 + devices * 20);
    const auto stopHelpers = [&] {
        for (const auto& process : helpers) {
            process->kill();
            process->waitForFinished(5000);
        }
    };
    for (std::size_t i = 0; i < helpers.size(); ++i) {
        if (!allSettled || !said[i].contains("ready")) {
            stopHelpers();
            relay.kill();
            return failed("helper " + std::to_string(i) + ": " + said[i].toStdString());
        }
    }
    std::printf("relay load: %d devices online in %.1f s\n", devices,
                static_cast<double>(connecting.elapsed()) / 1e3);
    // Long enough for every device's heartbeat to arrive once.
    const double cpuBefore = cpuSeconds(relay.processId());
    QElapsedTimer round;
    round.start();
    waitFor([] { return false; }, 21000);
    const double seconds = static_cast<double>(round.elapsed()) / 1e3;
    const double cpuShare = (cpuSeconds(relay.processId()) - cpuBefore) / seconds;
    const double heartbeatsPerSecond = devices / 20.0;
    const long loaded = residentKiB(relay.processId());

    HttpsClient client(origin, trusted);
    const HttpsClient::Reply signedIn =
        client.post(QStringLiteral("/v1/account/sign-in"),
                    JSON(JSON::Object{{"name", JSON("load")}, {"password", JSON(password)}}));
    if (signedIn.status != 200) {
        stopHelpers();
        relay.kill();
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
            stopHelpers();
            relay.kill();
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
    stopHelpers();
    // The relay gives freed memory back every ten seconds at most.
    waitFor([] { return false; }, 12000);
    const long left = residentKiB(relay.processId());
    std::sort(ms.begin(), ms.end());
    std::printf("relay load: %d devices, idle %ld KiB, loaded %ld KiB, %.1f KiB per device\n",
                devices, idle, loaded, static_cast<double>(loaded - idle) / devices);
    std::printf("relay load: heartbeats cost %.2f %% of one core (%.4f %% per device, %.0f us of "
                "CPU per heartbeat); %ld KiB once every device left\n",
                cpuShare * 100, cpuShare * 100 / devices, cpuShare / heartbeatsPerSecond * 1e6,
                left);
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
    // A helper process holding devices (see helper()).
    if (argc == 7 && std::string(argv[1]) == "--devices") {
        return helper(argv[2], argv[4], static_cast<std::uint16_t>(std::stoi(argv[6])));
    }
    QCoreApplication app(argc, argv);
    return measure();
}
