// Do Not Disturb through the notification server's inhibition, against a server of the test's own
// on the private session bus (a connection apart from the agent's, as a real server would be).

// moc cannot parse <concepts>, which the JSON header reaches.
#ifndef Q_MOC_RUN
#include "DesktopTestSupport.h"

#include "linuxdesktop/KdeFocusModes.h"
#endif

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>

#include <gtest/gtest.h>

#include <set>

namespace corvane {
namespace {

class FakeNotificationServer : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
    Q_PROPERTY(bool Inhibited READ inhibited)

public:
    bool inhibited() const { return !ignoring && !cookies.empty(); }

    std::set<uint> cookies;
    bool refusing = false;
    // Accepts requests and never shows them.
    bool ignoring = false;

public Q_SLOTS:
    uint Inhibit(const QString& application, const QString& reason, const QVariantMap& hints) {
        static_cast<void>(hints);
        if (refusing || application.isEmpty() || reason.isEmpty()) {
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("not now"));
            return 0;
        }
        cookies.insert(next_);
        return next_++;
    }
    void UnInhibit(uint cookie) { cookies.erase(cookie); }

private:
    uint next_ = 1;
};

TEST(LinuxKdeFocusModesTest, InhibitsTheNotificationServerAndReleasesOnlyItsOwn) {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || std::string(address).find("no-bus") != std::string::npos ||
        !desktop_test::unavailable("CORVANE_SETTINGS_UNAVAILABLE").empty()) {
        GTEST_SKIP() << "no private session bus: run through run-with-desktop.sh";
    }
    desktop_test::ensureApplication();
    QDBusConnection agentBus =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("agent"));
    QDBusConnection serverBus =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("server"));
    ASSERT_TRUE(agentBus.isConnected() && serverBus.isConnected());
    KdeFocusModes modes(agentBus);
    int presses = 0;
    const auto press = [&presses] {
        ++presses;
    };
    const auto run = [&](bool enabled, std::function<void()> before) {
        return desktop_test::finish(desktop_test::focusOutcome(modes, enabled, std::move(before)));
    };

    EXPECT_EQ(run(true, press), R"("unavailable")");
    FakeNotificationServer server;
    ASSERT_TRUE(serverBus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                                         QDBusConnection::ExportAllSlots |
                                             QDBusConnection::ExportAllProperties));
    ASSERT_TRUE(serverBus.registerService(QStringLiteral("org.freedesktop.Notifications")));

    EXPECT_EQ(run(true, press), R"("confirmed")");
    EXPECT_EQ(server.cookies.size(), 1u);
    EXPECT_EQ(run(true, press), R"("confirmed")");
    EXPECT_EQ(server.cookies.size(), 1u);
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(run(false, [] { throw ContractError("screen_locked"); }), "screen_locked");
    EXPECT_EQ(server.cookies.size(), 1u);
    EXPECT_EQ(run(false, press), R"("confirmed")");
    EXPECT_TRUE(server.cookies.empty());

    // Another program's inhibition is not the agent's to lift.
    server.cookies.insert(99);
    EXPECT_EQ(run(false, press), R"("refused")");
    EXPECT_EQ(server.cookies, std::set<uint>{99});
    server.cookies.clear();

    server.refusing = true;
    EXPECT_EQ(run(true, press), R"("refused")");
    server.refusing = false;
    server.ignoring = true;
    EXPECT_EQ(run(true, press), R"("not_confirmed")");
    serverBus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
}

} // namespace
} // namespace corvane

#include "LinuxKdeFocusModesTest.moc"
