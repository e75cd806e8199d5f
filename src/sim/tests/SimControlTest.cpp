#include "SimFixture.h"
#include "core/ContractError.h"
#include "sim/SimControlCommands.h"

#include <QFile>
#include <QLocalSocket>

#include <gmock/gmock.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <latch>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace corvane {
namespace {

using testing::HasSubstr;

JSON send(SimulatedMac& mac, const std::string& line) {
    return JSON::parse(mac.commands().handleLine(line));
}

std::string errorOf(const JSON& answer) {
    EXPECT_FALSE(answer.find("ok")->isTrue()) << answer.data();
    const std::string* error = answer.stringMember("error");
    return error != nullptr ? *error : std::string();
}

TEST_F(SimFixture, ControlCommandsChangeWhatThePortsSee) {
    EXPECT_TRUE(send(*mac, R"({"cmd": "lock"})").find("ok")->isTrue());
    EXPECT_EQ(macPorts().console.rootProperties()->consoleLocked->boolean(), true);
    send(*mac, R"({"cmd": "unlock"})");
    EXPECT_EQ(macPorts().console.rootProperties()->consoleLocked->boolean(), false);

    send(*mac, R"({"cmd": "set", "path": "host.thermal_state", "value": "critical"})");
    EXPECT_EQ(platform().host.thermalState(), HostStats::ThermalState::Critical);
    send(*mac, R"({"cmd": "set", "path": ["console", "session"], "value": null})");
    EXPECT_FALSE(macPorts().console.sessionDictionary());
    send(*mac, R"({"cmd": "set", "path": ["console", "users", 0, "kCGSSessionOnConsoleKey"],
                   "value": 1})");
    EXPECT_EQ(macPorts()
                  .console.rootProperties()
                  ->consoleUsers->array()
                  ->front()
                  .find("kCGSSessionOnConsoleKey")
                  ->integer(),
              1);

    send(*mac, R"({"cmd": "volume", "level": 12})");
    send(*mac, R"({"cmd": "battery", "percent": 9, "charging": true})");
    const PlatformValue battery = macPorts().power.powerSources()->array()->front();
    EXPECT_EQ(battery.find("Current Capacity")->integer(), 9);
    EXPECT_EQ(battery.find("Is Charging")->boolean(), true);
    EXPECT_EQ(model().number({"audio", "volume"}), 12.0);

    const JSON launched = send(*mac, R"({"cmd": "launch", "bundle_id": "com.apple.calculator",
                                         "activate": true})");
    ASSERT_TRUE(launched.find("pid") != nullptr) << launched.data();
    EXPECT_EQ(platform().workspace.frontmostApplication()->bundleID, "com.apple.calculator");
    send(*mac, R"({"cmd": "frontmost", "bundle_id": "com.apple.Safari"})");
    EXPECT_EQ(platform().workspace.frontmostApplication()->pid, 402);
    send(*mac, R"({"cmd": "quit", "bundle_id": "com.apple.finder"})"); // even a refusing app
    EXPECT_TRUE(model().pidsOf("com.apple.finder").empty());

    send(*mac, R"({"cmd": "ax", "does": [{"set": {"target": "safari.w1", "attribute": "AXTitle",
                                                    "value": "Changed"}},
                                          {"remove": "safari.w1.tab2"}]})");
    EXPECT_EQ(text(named("safari.w1"), "AXTitle"), "Changed");
    EXPECT_FALSE(model().named("safari.w1.tab2"));

    const JSON patched = send(*mac, R"({"cmd": "patch", "patch": {"audio": {"muted": true},
                                                                   "host": {"low_power_mode": true}}})");
    EXPECT_TRUE(patched.find("ok")->isTrue()) << patched.data();
    EXPECT_TRUE(model().flag({"audio", "muted"}));
    EXPECT_TRUE(platform().host.lowPowerMode());

    const JSON state = send(*mac, R"({"cmd": "state"})");
    EXPECT_EQ(*state.find("state")->find("audio")->find("volume")->number(), 12.0);
    EXPECT_EQ(*state.find("state")->find("frontmost")->number(), 402.0);

    // A member patched to null returns to its default.
    EXPECT_TRUE(send(*mac, R"({"cmd": "patch", "patch": {"audio": {"volume": null}}})")
                    .find("ok")
                    ->isTrue());
    EXPECT_EQ(model().number({"audio", "volume"}), 50.0);
}

TEST_F(SimFixture, RefusedControlCommandsChangeNothing) {
    const JSON before = model().settings();
    struct Row {
        std::string line;
        std::string error;
    };
    const std::vector<Row> rows = {
        {"not json", "not a JSON command"},
        {R"({"command": "lock"})", "expected an object with a string member \"cmd\""},
        {R"({"cmd": "explode"})", "unknown command \"explode\""},
        {R"({"cmd": "set", "path": "audio.volume", "value": 101})",
         "audio.volume: expected an integer from 0 to 100"},
        {R"({"cmd": "set", "path": "audio.loudness", "value": 1})",
         "audio.loudness: unknown field"},
        {R"({"cmd": "set", "path": "apps", "value": []})", "apps: changed with the application"},
        {R"({"cmd": "patch", "patch": {"audio": {"muted": true}, "host": {"thermal_state": "hot"}}})",
         "host.thermal_state: expected one of"},
        {R"({"cmd": "volume", "level": 50.5})", "level: expected an integer from 0 to 100"},
        {R"({"cmd": "battery", "percent": 50})", "charging: missing"},
        {R"({"cmd": "launch", "bundle_id": "com.example.none"})", "not installed"},
        {R"({"cmd": "quit", "pid": 4242})", "no running application has process id 4242"},
        {R"({"cmd": "ax", "does": [{"toggle": "textedit.bold"}, {"remove": "nothing"}]})",
         "does[1].remove: expected the id of a live element"},
    };
    for (const Row& row : rows) {
        EXPECT_THAT(errorOf(send(*mac, row.line)), HasSubstr(row.error)) << row.line;
    }
    EXPECT_EQ(model().settings(), before);
    // The half-valid effect list did not run its valid first half.
    EXPECT_EQ(macPorts().accessibility.attribute(named("textedit.bold"), "AXValue"),
              PlatformValue(0));
}

// Notifications are announced outside the model's lock: a listener may read the ports at once, as
// the agent does on will-sleep. Whatever a listener throws, the channel answers the command as
// refused and goes on serving.
TEST_F(SimFixture, SleepListenersMayCallThePortsAndWhatTheyThrowIsARefusal) {
    std::size_t seen = 0;
    {
        QObject guard;
        QObject::connect(&platform().workspace, &Workspace::willSleep, &guard,
                         [&] { seen = platform().workspace.runningApplications().size(); });
        EXPECT_TRUE(send(*mac, R"({"cmd": "sleep"})").find("ok")->isTrue());
    }
    EXPECT_GT(seen, 0u);

    struct Row {
        std::function<void()> thrower;
        std::string error;
    };
    const std::vector<Row> rows = {
        {[] { throw ContractError("device_locked"); }, "device_locked"},
        {[] { throw 42; }, "the command failed"},
    };
    for (const Row& row : rows) {
        QObject guard;
        QObject::connect(&platform().workspace, &Workspace::willSleep, &guard, row.thrower);
        EXPECT_EQ(errorOf(send(*mac, R"({"cmd": "sleep"})")), row.error);
    }
    EXPECT_TRUE(send(*mac, R"({"cmd": "ping"})").find("ok")->isTrue());
}

// Reads answer lines until `count` have arrived.
std::vector<std::string> readLines(QLocalSocket& socket, std::size_t count) {
    std::vector<std::string> lines;
    waitUntil([&] {
        while (socket.canReadLine()) {
            lines.push_back(socket.readLine().trimmed().toStdString());
        }
        return lines.size() >= count;
    });
    return lines;
}

TEST_F(SimFixture, SocketTakesOneCommandPerLine) {
    const QString path = root.path() + QStringLiteral("/control.sock");
    QString error;
    ASSERT_TRUE(mac->listen(path, &error)) << error.toStdString();

    QLocalSocket client;
    client.connectToServer(path);
    ASSERT_TRUE(client.waitForConnected(1000));
    // Two commands in one write, the second split across writes.
    client.write("{\"cmd\": \"lock\"}\n{\"cmd\": \"set\", \"path\": \"audio.vol");
    client.flush();
    QCoreApplication::processEvents();
    client.write("ume\", \"value\": 7}\n\n{\"cmd\": 1}\n");
    client.flush();
    const std::vector<std::string> lines = readLines(client, 3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], R"({"ok":true})");
    EXPECT_EQ(lines[1], R"({"ok":true})");
    EXPECT_THAT(lines[2], HasSubstr("\"ok\":false"));
    EXPECT_EQ(macPorts().console.rootProperties()->consoleLocked->boolean(), true);
    EXPECT_EQ(model().number({"audio", "volume"}), 7.0);

    // A stale socket file from an earlier run does not stop a new listener.
    SimulatedMac second(root.path() + QStringLiteral("/second"));
    EXPECT_TRUE(second.listen(path, &error)) << error.toStdString();
}

// The channel reads out the keychain (the local API token with it): another user gets nothing,
// even once the modes of the socket and its folder are loosened.
TEST_F(SimFixture, SocketServesItsOwnerOnly) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "connecting as another user needs root";
    }
    const QString path = root.path() + QStringLiteral("/control.sock");
    QString error;
    ASSERT_TRUE(mac->listen(path, &error)) << error.toStdString();
    const QByteArray name = QFile::encodeName(path);
    ASSERT_EQ(::chmod(QFile::encodeName(root.path()).constData(), 0755), 0);
    ASSERT_EQ(::chmod(name.constData(), 0666), 0);

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.constData(), static_cast<std::size_t>(name.size()));
    std::string answers[2];
    for (const uid_t user : {uid_t{65534}, ::geteuid()}) {
        // The peer's credentials are those it had when it connected.
        const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::seteuid(user), 0);
        const int connected =
            ::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ASSERT_EQ(::seteuid(0), 0);
        ASSERT_EQ(connected, 0) << std::strerror(errno);
        ASSERT_EQ(::write(client, "{\"cmd\": \"state\"}\n", 17), 17);
        std::string& answer = answers[user == 0 ? 1 : 0];
        waitUntil([&] {
            char bytes[4096];
            const ssize_t got = ::recv(client, bytes, sizeof bytes, MSG_DONTWAIT);
            if (got > 0) {
                answer.append(bytes, static_cast<std::size_t>(got));
            }
            return got == 0 || (got < 0 && errno != EAGAIN) ||
                   answer.find('\n') != std::string::npos;
        });
        ::close(client);
    }
    EXPECT_TRUE(answers[0].empty()) << "another user was answered";
    EXPECT_THAT(answers[1], HasSubstr("keychain"));
}

// The agent loads its credentials and discovers applications on worker threads while the main
// thread serves the control channel and reloads the scenario: nothing is torn, and no saved item
// is lost.
TEST_F(SimFixture, WorkerPortsRaceTheChannelAndReloads) {
    Keychain& keychain = platform().keychain;
    AppCatalog& catalog = platform().appCatalog;
    const std::string scenario = defaultScenarioText();
    std::latch start(3);
    std::atomic<int> emptyCatalogs{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 2; ++t) {
        workers.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < 25; ++i) {
                const Keychain::Query query{
                    "local.corvane.agent", "account-" + std::to_string(t) + "-" + std::to_string(i),
                    false};
                EXPECT_EQ(keychain.add(query, "secret"), Keychain::Status::Success);
                const std::optional<std::vector<std::string>> indexed =
                    catalog.indexedApplications();
                emptyCatalogs += indexed && !indexed->empty() ? 0 : 1;
            }
        });
    }
    start.arrive_and_wait();
    for (int i = 0; i < 10; ++i) {
        send(*mac, R"({"cmd": "set", "path": "audio.volume", "value": )" + std::to_string(i) + "}");
        mac->load(scenario);
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(emptyCatalogs, 0);
    EXPECT_EQ(model().setting({"keychain", "items"}).array()->size(), 50u);
}

} // namespace
} // namespace corvane
