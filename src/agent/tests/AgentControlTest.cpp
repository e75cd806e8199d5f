// The agent's own control socket and the desktop control commands it carries (`velto desktop`).
#include "agent/AgentControlServer.h"
#include "agent/DesktopControlCommands.h"
#include "platform/UserDefaultsError.h"

#include "AgentFixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLocalSocket>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace corvane::agent_test {
namespace {

mode_t modeOf(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 0777 : 0;
}

// One connection to the server: each line sent is answered by one line.
class ControlConnection {
public:
    explicit ControlConnection(const QString& path) {
        socket_.connectToServer(path);
        connected_ = socket_.waitForConnected(20000);
    }
    bool connected() const { return connected_; }

    // The answer line, or empty when the server closed the connection without one.
    std::string ask(const QByteArray& line) {
        socket_.write(line);
        socket_.flush();
        spinUntil([&] {
            return socket_.canReadLine() || socket_.state() != QLocalSocket::ConnectedState;
        });
        return socket_.canReadLine() ? socket_.readLine().trimmed().toStdString() : std::string();
    }
    bool closedByServer() {
        spinUntil([&] { return socket_.state() == QLocalSocket::UnconnectedState; });
        return socket_.state() == QLocalSocket::UnconnectedState;
    }

private:
    QLocalSocket socket_;
    bool connected_ = false;
};

TEST(AgentControlServer, AnswersEachLineAndOnlyItsOwner) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QString folder = home.filePath(QStringLiteral("Corvane"));
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                      QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                      QFileDevice::ExeOther);
    const QString path = folder + QStringLiteral("/agent.sock");
    // A stale socket file from an earlier run is replaced.
    QFile stale(path);
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();

    std::vector<std::string> handled;
    AgentControlServer server([&](const JSON& command) {
        handled.push_back(*command.stringMember("cmd"));
        if (*command.stringMember("cmd") == "explode") {
            throw std::runtime_error("the disk is full");
        }
        return JSON(JSON::Object{{"ok", JSON(true)}, {"echo", command}});
    });
    QString error;
    ASSERT_TRUE(server.listen(path, &error)) << error.toStdString();
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(path) & 0777, 0600u);

    ControlConnection connection(path);
    ASSERT_TRUE(connection.connected());
    EXPECT_EQ(connection.ask("{\"cmd\": \"desktop_status\"}\n"),
              R"({"echo":{"cmd":"desktop_status"},"ok":true})");
    struct Row {
        QByteArray line;
        std::string answer;
    } const rows[] = {
        {"\n\r\n{\"cmd\": \"a\"}\r\n", R"({"echo":{"cmd":"a"},"ok":true})"}, // blank lines skipped
        {"not json\n", R"({"error":"not a JSON command","ok":false})"},
        {"[1]\n", R"({"error":"expected {\"cmd\": ...}","ok":false})"},
        {"{\"cmd\": 3}\n", R"({"error":"expected {\"cmd\": ...}","ok":false})"},
        {"{\"cmd\": \"explode\"}\n", R"({"error":"the disk is full","ok":false})"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(connection.ask(row.line), row.answer) << row.line.toStdString();
    }
    EXPECT_EQ(handled, (std::vector<std::string>{"desktop_status", "a", "explode"}));

    // A line too long is refused and the connection closed; the server goes on.
    ControlConnection flood(path);
    ASSERT_TRUE(flood.connected());
    EXPECT_EQ(flood.ask(QByteArray(AgentControlServer::maxLineBytes + 10, 'x')),
              R"({"error":"command line too long","ok":false})");
    EXPECT_TRUE(flood.closedByServer());
    EXPECT_EQ(connection.ask("{\"cmd\": \"b\"}\n"), R"({"echo":{"cmd":"b"},"ok":true})");

    // Once closed, nothing more is handled.
    server.close();
    EXPECT_TRUE(connection.closedByServer());
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(handled.size(), 4u);
}

// Descriptors running out while a connection waits to be accepted neither ends the socket nor
// removes its file: accepting resumes once descriptors are free again.
TEST(AgentControlServer, OutlivesRunningOutOfDescriptors) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QString path = home.filePath(QStringLiteral("Corvane/agent.sock"));
    AgentControlServer server([](const JSON&) { return JSON(JSON::Object{{"ok", JSON(true)}}); });
    ASSERT_TRUE(server.listen(path));

    // Queued in the backlog before descriptors run out, with its command already sent.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::memcpy(address.sun_path, name.constData(), static_cast<std::size_t>(name.size()));
    const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::write(client, "{\"cmd\": \"a\"}\n", 13), 13);

    int highest = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    }
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(highest) + 8;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = ::dup(client)) >= 0;) {
        fillers.push_back(fd);
    }
    QElapsedTimer starved;
    starved.start();
    while (starved.elapsed() < 300) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    for (const int fd : fillers) {
        ::close(fd);
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_TRUE(QFile::exists(path));
    std::string answer;
    spinUntil([&] {
        char bytes[64];
        const ssize_t got = ::recv(client, bytes, sizeof bytes, MSG_DONTWAIT);
        if (got > 0) {
            answer.append(bytes, static_cast<std::size_t>(got));
        }
        return got == 0 || (got < 0 && errno != EAGAIN) || answer.find('\n') != std::string::npos;
    });
    ::close(client);
    EXPECT_EQ(answer, "{\"ok\":true}\n");
    ControlConnection later(path);
    ASSERT_TRUE(later.connected());
    EXPECT_EQ(later.ask("{\"cmd\": \"b\"}\n"), R"({"ok":true})");
}

class DesktopCommandsTest : public AgentTest {
protected:
    JSON ask(const char* command) {
        return DesktopControlCommands(*agent, mac.platform()).handle(JSON::parse(command));
    }
};

TEST_F(DesktopCommandsTest, StatusShowsConsentGrantsAndPermissions) {
    make();
    EXPECT_EQ(ask(R"({"cmd": "desktop_status"})").data(),
              R"({"consent":false,"front_end":"headless","granted":null,"ok":true,)"
              R"("permissions":{"accessibility":)"
              R"("granted","screen_recording":"denied"},"status":"Desktop control is off"})");
    const JSON enabled = ask(R"({"cmd": "desktop_enable"})");
    EXPECT_EQ(*enabled.stringMember("status"), "Desktop control enabled");
    EXPECT_TRUE(agent->executor().desktop().desktopWide());
    EXPECT_EQ(mac.defaults.boolValue("desktop-control-consent-v1"), true);

    mac.accessibility.trusted = false;
    EXPECT_EQ(*ask(R"({"cmd": "desktop_status"})").stringMember("status"),
              "Desktop control needs Accessibility access");
    mac.accessibility.trusted = true;
    mac.console.set(ScreenState::Locked);
    advance(250ms);
    EXPECT_EQ(*ask(R"({"cmd": "desktop_status"})").stringMember("status"),
              "Desktop control paused while this Mac is locked or inactive");
    mac.console.set(ScreenState::Unlocked);
    advance(250ms);

    // A grant ends desktop-wide consent and runs for 15 minutes.
    const JSON granted =
        ask(R"({"cmd": "desktop_grant", "bundle_ids": ["b.app", "a.app", "b.app"]})");
    EXPECT_EQ(granted.find("consent")->boolean(), false);
    EXPECT_EQ(granted.find("granted")->data(),
              R"({"bundle_ids":["a.app","b.app"],"expires_at":"2026-01-01T00:15:00.500Z",)"
              R"("seconds_left":900})");
    advance(900s);
    EXPECT_TRUE(ask(R"({"cmd": "desktop_status"})").find("granted")->isNull());

    EXPECT_EQ(ask(R"({"cmd": "desktop_disable"})").find("consent")->boolean(), false);
    EXPECT_EQ(mac.defaults.boolValue("desktop-control-consent-v1"), false);
}

TEST_F(DesktopCommandsTest, RefusalsSayWhyAndChangeNothing) {
    make();
    ask(R"({"cmd": "desktop_enable"})");
    const std::uint64_t epoch = agent->executor().desktop().epoch();
    struct Row {
        const char* command;
        std::string answer;
    } const rows[] = {
        {R"({"cmd": "desktop_grant", "bundle_ids": ["com.apple.loginwindow"]})",
         R"({"error":"desktop_app_excluded","message":"This is a protected screen. Complete this )"
         R"(step directly on your Mac.","ok":false})"},
        {R"({"cmd": "desktop_grant"})", "desktop_app_excluded"}, // no list: nothing to grant
        {R"({"cmd": "desktop_grant", "bundle_ids": ["a", 2]})",
         "bundle_ids: expected an array of strings"},
        {R"({"cmd": "desktop_fly"})", R"(unknown command \"desktop_fly\")"},
    };
    for (const Row& row : rows) {
        const std::string answer = ask(row.command).data();
        EXPECT_NE(answer.find(row.answer), std::string::npos) << answer;
        EXPECT_NE(answer.find(R"("ok":false)"), std::string::npos) << answer;
    }
    EXPECT_TRUE(agent->executor().desktop().desktopWide());
    EXPECT_EQ(agent->executor().desktop().epoch(), epoch);

    // Consent that cannot be saved is not given; the store's reason goes to the caller.
    ask(R"({"cmd": "desktop_disable"})");
    mac.defaults.refuseWrites = true;
    EXPECT_THROW(ask(R"({"cmd": "desktop_enable"})"), UserDefaultsError);
    EXPECT_FALSE(agent->executor().desktop().desktopWide());
}

} // namespace
} // namespace corvane::agent_test
