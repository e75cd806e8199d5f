#include "DesktopServices.h"

#include "core/JSON.h"
#include "platform/SettingsUserDefaults.h"

#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

namespace corvane {
namespace {

using namespace desktop_services;

const QString login1 = QStringLiteral("org.freedesktop.login1");
const QString mockInterface = QStringLiteral("org.freedesktop.DBus.Mock");
const QString sessionPath = QStringLiteral("/org/freedesktop/login1/session/c7");

// The real program, headless on the Linux backend, in a desktop of the test's own: a system bus
// with logind and UPower mocked, a session bus with a keyring and a media player, a sound server
// with a null sink, and a home of its own.
class HeadlessAgentOnDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const QStringList& programs :
             {QStringList{QStringLiteral("dbus-daemon"), QStringLiteral("gnome-keyring-daemon"),
                          QStringLiteral("pulseaudio"), QStringLiteral("pactl")}}) {
            if (const QString missing = missingProgram(programs); !missing.isEmpty()) {
                GTEST_SKIP() << "the desktop test needs " << missing.toStdString();
            }
        }
        if (const QString missing = missingDbusmock(); !missing.isEmpty()) {
            GTEST_SKIP() << "the desktop test needs " << missing.toStdString();
        }
        ASSERT_TRUE(scratch.isValid());
        for (const char* folder : {"home", "data", "config", "cache", "run"}) {
            ASSERT_TRUE(QDir().mkpath(path(folder)));
            QFile::setPermissions(path(folder), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                    QFileDevice::ExeOwner);
        }
        environment = {QStringLiteral("HOME=") + path("home"),
                       QStringLiteral("XDG_DATA_HOME=") + path("data"),
                       QStringLiteral("XDG_CONFIG_HOME=") + path("config"),
                       QStringLiteral("XDG_CACHE_HOME=") + path("cache"),
                       QStringLiteral("XDG_RUNTIME_DIR=") + path("run"),
                       QStringLiteral("XDG_SESSION_ID=c7"),
                       QStringLiteral("PULSE_SERVER=unix:") + path("run") +
                           QStringLiteral("/native")};

        systemBus = std::make_unique<PrivateBus>(scratch.path(), QStringLiteral("system"));
        sessionBus = std::make_unique<PrivateBus>(scratch.path(), QStringLiteral("session"));
        ASSERT_TRUE(systemBus->started() && sessionBus->started());
        environment << QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=") + systemBus->address()
                    << QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + sessionBus->address();

        logind = startMock(*systemBus, QStringLiteral("logind"), login1);
        ASSERT_NE(logind, nullptr);
        systemBus->call(login1, QStringLiteral("/org/freedesktop/login1"), mockInterface,
                        QStringLiteral("AddSession"),
                        {QStringLiteral("c7"), QStringLiteral("seat0"),
                         static_cast<unsigned>(::getuid()), QStringLiteral("person"), true});
        addMockMethod(*systemBus, login1, sessionPath,
                      QStringLiteral("org.freedesktop.login1.Session"), QStringLiteral("Lock"), {},
                      {},
                      QStringLiteral("self.UpdateProperties('org.freedesktop.login1.Session', "
                                     "{'LockedHint': dbus.Boolean(True)})"));
        upower = startMock(*systemBus, QStringLiteral("upower"),
                           QStringLiteral("org.freedesktop.UPower"),
                           QStringLiteral("{\"OnBattery\": true}"));
        ASSERT_NE(upower, nullptr);
        systemBus->call(
            QStringLiteral("org.freedesktop.UPower"), QStringLiteral("/org/freedesktop/UPower"),
            mockInterface, QStringLiteral("SetupDisplayDevice"),
            {2u, 2u, 42.0, 20.0, 48.0, 10.0, qlonglong(3600), qlonglong(0), true, QString(), 1u});

        // A fresh keyring, unlocked with an empty password, holds the agent's keys.
        keyring = std::make_unique<Service>(QStringLiteral("gnome-keyring-daemon"),
                                            QStringList{QStringLiteral("--foreground"),
                                                        QStringLiteral("--unlock"),
                                                        QStringLiteral("--components=secrets")},
                                            environment);
        keyring->process().write("\n");
        keyring->process().closeWriteChannel();
        ASSERT_TRUE(sessionBus->waitForOwner(QStringLiteral("org.freedesktop.secrets")));

        pulse = std::make_unique<Service>(
            QStringLiteral("pulseaudio"),
            QStringList{QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
                        QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--use-pid-file=no"),
                        QStringLiteral("-L"),
                        QStringLiteral("module-native-protocol-unix socket=%1/native "
                                       "auth-anonymous=1")
                            .arg(path("run")),
                        QStringLiteral("-L"),
                        QStringLiteral("module-null-sink sink_name=corvane_test")},
            environment);
        ASSERT_TRUE(waitUntil([&] { return pactl({QStringLiteral("info")}).has_value(); }));
        pactl({QStringLiteral("set-sink-volume"), QStringLiteral("corvane_test"),
               QStringLiteral("65%")});

        player = startPlayer(*sessionBus, scratch.path(), QStringLiteral("rhythmbox"),
                             QStringLiteral("Rhythmbox"), QStringLiteral("Playing"));
        ASSERT_NE(player, nullptr);

        // MPRIS needs no permission; the agent's one-time explanation is taken as read, as a
        // person would have done at the window.
        SettingsUserDefaults(path("config") + QStringLiteral("/Corvane/defaults.ini"))
            .setBool("automation-explained-Music", true);

        agent = std::make_unique<Service>(QStringLiteral(VELTO_PROGRAM),
                                          QStringList{QStringLiteral("--headless"),
                                                      QStringLiteral("--platform"),
                                                      QStringLiteral("linux")},
                                          environment);
        ASSERT_TRUE(agent->running());
    }

    QString path(const char* folder) const { return scratch.filePath(QLatin1String(folder)); }

    std::optional<QString> pactl(const QStringList& arguments) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PULSE_SERVER"),
                   QStringLiteral("unix:") + path("run") + QStringLiteral("/native"));
        process.setProcessEnvironment(env);
        process.start(QStringLiteral("pactl"), arguments);
        if (!process.waitForFinished(10000) || process.exitCode() != 0) {
            return std::nullopt;
        }
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    // `velto call --platform linux ACTION [PARAMS]`: its exit status and the reply it printed.
    std::pair<int, JSON> call(const QString& action, const QString& params = {}) {
        QStringList arguments{QStringLiteral("call"), QStringLiteral("--platform"),
                              QStringLiteral("linux"), action};
        if (!params.isEmpty()) {
            arguments << params;
        }
        Service client(QStringLiteral(VELTO_PROGRAM), arguments, environment);
        client.process().waitForFinished(30000);
        const QByteArray out = client.process().readAllStandardOutput();
        try {
            return {client.process().exitCode(), JSON::parse(out.trimmed().toStdString())};
        } catch (const std::exception&) {
            return {-1, JSON()};
        }
    }

    QTemporaryDir scratch;
    QStringList environment;
    std::unique_ptr<PrivateBus> systemBus;
    std::unique_ptr<PrivateBus> sessionBus;
    std::unique_ptr<Service> logind;
    std::unique_ptr<Service> upower;
    std::unique_ptr<Service> keyring;
    std::unique_ptr<Service> pulse;
    std::unique_ptr<Service> player;
    std::unique_ptr<Service> agent;
};

TEST_F(HeadlessAgentOnDesktopTest, TheAgentOperatesTheDesktopItRunsOn) {
    std::pair<int, JSON> state;
    ASSERT_TRUE(waitUntil(
        [&] {
            state = call(QStringLiteral("get_state"));
            return state.first == 0 && state.second.find("battery") != nullptr;
        },
        std::chrono::seconds(30)))
        << "the agent never answered get_state unlocked: "
        << QString::fromUtf8(agent->process().readAllStandardError()).toStdString();
    const JSON& report = state.second;
    EXPECT_EQ(*report.find("battery"),
              JSON(JSON::Object{{"percent", JSON(42)}, {"charging", JSON(false)}}));
    EXPECT_EQ(*report.find("audio"),
              JSON(JSON::Object{{"volume", JSON(65)}, {"muted", JSON(false)}}));
    EXPECT_EQ(*report.find("now_playing"), JSON(JSON::Object{{"title", JSON("Track 1")},
                                                             {"artist", JSON("Ann, Bo")},
                                                             {"source_app", JSON("Music")},
                                                             {"playing", JSON(true)}}));

    EXPECT_EQ(call(QStringLiteral("set_volume"), QStringLiteral("{\"level\": 30}")).first, 0);
    EXPECT_TRUE(pactl({QStringLiteral("get-sink-volume"), QStringLiteral("corvane_test")})
                    .value_or(QString())
                    .contains(QStringLiteral("/  30% /")));

    EXPECT_EQ(call(QStringLiteral("media_next")).first, 0);
    const JSON after = call(QStringLiteral("get_state")).second;
    ASSERT_NE(after.find("now_playing"), nullptr) << after.data();
    EXPECT_EQ(*after.find("now_playing")->find("title"), JSON("Track 2"));

    EXPECT_EQ(call(QStringLiteral("lock_screen")).first, 0);
    const QDBusMessage hint = systemBus->call(
        login1, sessionPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"),
        {QStringLiteral("org.freedesktop.login1.Session"), QStringLiteral("LockedHint")});
    ASSERT_FALSE(hint.arguments().isEmpty());
    EXPECT_TRUE(hint.arguments().constFirst().value<QDBusVariant>().variant().toBool());
    const auto refused = call(QStringLiteral("set_volume"), QStringLiteral("{\"level\": 80}"));
    EXPECT_EQ(refused.first, 1);
    EXPECT_NE(refused.second.data().find("Unlock this Mac before running this action."),
              std::string::npos)
        << refused.second.data();
    EXPECT_TRUE(pactl({QStringLiteral("get-sink-volume"), QStringLiteral("corvane_test")})
                    .value_or(QString())
                    .contains(QStringLiteral("/  30% /")));

    // Asked to stop, the agent ends cleanly with every service still answering.
    agent->stop();
    EXPECT_EQ(agent->process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(agent->process().exitCode(), 0)
        << QString::fromUtf8(agent->process().readAllStandardError()).toStdString();
}

} // namespace
} // namespace corvane
