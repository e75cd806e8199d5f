#include "DesktopServices.h"

#include "core/SystemClock.h"
#include "linuxdesktop/LogindSessionLock.h"
#include "linuxdesktop/LogindSleepWatch.h"
#include "linuxdesktop/UPowerSources.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>
#include <vector>

namespace corvane {
namespace {

using namespace desktop_services;

const QString login1 = QStringLiteral("org.freedesktop.login1");
const QString managerPath = QStringLiteral("/org/freedesktop/login1");
const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");
const QString sessionPath = QStringLiteral("/org/freedesktop/login1/session/c7");
const QString mockInterface = QStringLiteral("org.freedesktop.DBus.Mock");
constexpr unsigned uid = 4242;

// A private system bus with logind mocked, its session c7 of user 4242 active and unlocked.
class LogindTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const QString missing = missingProgram({QStringLiteral("dbus-daemon")});
            !missing.isEmpty()) {
            GTEST_SKIP() << "logind tests need " << missing.toStdString() << " (package dbus)";
        }
        if (const QString missing = missingDbusmock(); !missing.isEmpty()) {
            GTEST_SKIP() << "logind tests need " << missing.toStdString();
        }
        ASSERT_TRUE(scratch.isValid());
        bus = std::make_unique<PrivateBus>(scratch.path(), QStringLiteral("system"));
        ASSERT_TRUE(bus->started());
    }

    void startLogind() {
        logind = startMock(*bus, QStringLiteral("logind"), login1);
        ASSERT_NE(logind, nullptr);
        const QDBusMessage added = bus->call(
            login1, managerPath, mockInterface, QStringLiteral("AddSession"),
            {QStringLiteral("c7"), QStringLiteral("seat0"), uid, QStringLiteral("person"), true});
        ASSERT_EQ(added.type(), QDBusMessage::ReplyMessage) << added.errorMessage().toStdString();
    }

    void setSession(const QVariantMap& values) {
        const QDBusMessage reply =
            bus->call(login1, sessionPath, mockInterface, QStringLiteral("UpdateProperties"),
                      {sessionInterface, values});
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    }

    // The mock's Lock only emits a signal; a real screen locker then sets LockedHint.
    void lockSetsLockedHint() {
        const QDBusMessage reply = addMockMethod(
            *bus, login1, sessionPath, sessionInterface, QStringLiteral("Lock"), {}, {},
            QStringLiteral("self.UpdateProperties('org.freedesktop.login1.Session', "
                           "{'LockedHint': dbus.Boolean(True)})"));
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    }

    std::unique_ptr<LogindSessionLock> sessionLock(const QString& sessionId) {
        return std::make_unique<LogindSessionLock>(
            bus->connection(), clock,
            LogindSessionLock::Options{sessionId, static_cast<std::uint32_t>(::getpid()), uid});
    }

    QTemporaryDir scratch;
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<Service> logind;
    SystemClock clock;
};

TEST_F(LogindTest, TheCachedStateFollowsLockedHintAndActive) {
    startLogind();
    const auto lock = sessionLock(QStringLiteral("c7"));
    std::vector<ScreenState> changes;
    std::vector<bool> activity;
    QObject::connect(lock.get(), &SessionLock::changed, lock.get(),
                     [&](ScreenState state) { changes.push_back(state); });
    QObject::connect(lock.get(), &LogindSessionLock::activeChanged, lock.get(),
                     [&](bool active) { activity.push_back(active); });
    EXPECT_EQ(lock->state(), ScreenState::Unknown) << "nothing is known before logind answers";
    ASSERT_TRUE(waitUntil([&] { return lock->state() == ScreenState::Unlocked; }));

    struct Row {
        QVariantMap set;
        ScreenState expected;
    };
    const Row rows[] = {
        {{{QStringLiteral("LockedHint"), true}}, ScreenState::Locked},
        {{{QStringLiteral("LockedHint"), false}}, ScreenState::Unlocked},
        {{{QStringLiteral("Active"), false}}, ScreenState::Inactive},
        {{{QStringLiteral("LockedHint"), true}}, ScreenState::Locked},
        {{{QStringLiteral("LockedHint"), false}, {QStringLiteral("Active"), true}},
         ScreenState::Unlocked},
    };
    for (const Row& row : rows) {
        setSession(row.set);
        EXPECT_TRUE(waitUntil([&] { return lock->state() == row.expected; }))
            << rawValue(row.expected);
    }
    // Each change announced once, with the new state; the seat switches as well.
    const std::vector<ScreenState> announced{ScreenState::Unlocked, ScreenState::Locked,
                                             ScreenState::Unlocked, ScreenState::Inactive,
                                             ScreenState::Locked,   ScreenState::Unlocked};
    EXPECT_EQ(changes, announced);
    EXPECT_EQ(activity, (std::vector<bool>{false, true}));
    EXPECT_TRUE(lock->facts().onConsole.value_or(false));

    // Reading asks nobody: well under a millisecond even with sanitizers.
    constexpr int reads = 100000;
    const auto started = std::chrono::steady_clock::now();
    int unlocked = 0;
    for (int i = 0; i < reads; ++i) {
        unlocked += lock->state() == ScreenState::Unlocked ? 1 : 0;
    }
    const auto each = (std::chrono::steady_clock::now() - started) / reads;
    EXPECT_EQ(unlocked, reads);
    EXPECT_LT(each, std::chrono::microseconds(50));
}

TEST_F(LogindTest, TheSessionIsFoundByProcessOrElseAsTheUsersDisplaySession) {
    startLogind();
    // This mock lacks GetSessionByPID: without a session id the user's display session serves.
    // Its GetUser cannot build a path from a number; the real one can.
    addMockMethod(*bus, login1, managerPath, managerInterface, QStringLiteral("GetUser"),
                  QStringLiteral("u"), QStringLiteral("o"),
                  QStringLiteral("ret = dbus.ObjectPath('/org/freedesktop/login1/user/%d' % "
                                 "args[0])"));
    const QDBusMessage display = addMockMethod(
        *bus, login1, managerPath, managerInterface, QStringLiteral("SetDisplayForTest"), {}, {},
        QStringLiteral("objects['/org/freedesktop/login1/user/%1'].Set("
                       "'org.freedesktop.login1.User', 'Display', dbus.Struct(('c7', "
                       "dbus.ObjectPath('/org/freedesktop/login1/session/c7')), signature='so'))")
            .arg(uid));
    ASSERT_EQ(display.type(), QDBusMessage::ReplyMessage);
    bus->call(login1, managerPath, managerInterface, QStringLiteral("SetDisplayForTest"));
    setSession({{QStringLiteral("LockedHint"), true}});
    const auto byDisplay = sessionLock(QString());
    EXPECT_TRUE(waitUntil([&] { return byDisplay->state() == ScreenState::Locked; }));

    addMockMethod(*bus, login1, managerPath, managerInterface, QStringLiteral("GetSessionByPID"),
                  QStringLiteral("u"), QStringLiteral("o"),
                  QStringLiteral("ret = dbus.ObjectPath('/org/freedesktop/login1/session/c7')"));
    const auto byProcess = sessionLock(QString());
    EXPECT_TRUE(waitUntil([&] { return byProcess->state() == ScreenState::Locked; }));
    EXPECT_TRUE(byProcess->sessionKnown());
}

TEST_F(LogindTest, LockingIsConfirmedByLockedHintOnly) {
    startLogind();
    const auto lock = sessionLock(QStringLiteral("c7"));
    ASSERT_TRUE(waitUntil([&] { return lock->state() == ScreenState::Unlocked; }));

    // The mock as it comes: Lock is accepted, but nothing ever locks.
    const auto unconfirmed = finish(lock->lockNow());
    ASSERT_TRUE(unconfirmed.value);
    EXPECT_EQ(*unconfirmed.value, SessionLock::LockResult::NotConfirmed);

    lockSetsLockedHint();
    const auto confirmed = finish(lock->lockNow());
    ASSERT_TRUE(confirmed.value);
    EXPECT_EQ(*confirmed.value, SessionLock::LockResult::Locked);
    EXPECT_EQ(lock->state(), ScreenState::Locked);
}

TEST_F(LogindTest, WithoutLogindTheStateIsUnknownUntilItAppears) {
    const auto lock = sessionLock(QStringLiteral("c7"));
    ASSERT_TRUE(waitUntil([&] { return lock->lookedUp(); }));
    EXPECT_EQ(lock->state(), ScreenState::Unknown);
    EXPECT_FALSE(lock->logindPresent());
    const auto refused = finish(lock->lockNow());
    ASSERT_TRUE(refused.value);
    EXPECT_EQ(*refused.value, SessionLock::LockResult::Refused);

    startLogind();
    EXPECT_TRUE(waitUntil([&] { return lock->state() == ScreenState::Unlocked; }));
    logind->stop();
    EXPECT_TRUE(waitUntil([&] { return lock->state() == ScreenState::Unknown; }));
}

TEST_F(LogindTest, SleepIsAnnouncedAndWaitsForTheAgentThroughADelayInhibitor) {
    startLogind();
    LogindSleepWatch watch(bus->connection());
    int sleeps = 0;
    int wakes = 0;
    QObject::connect(&watch, &LogindSleepWatch::willSleep, &watch, [&] { ++sleeps; });
    QObject::connect(&watch, &LogindSleepWatch::didWake, &watch, [&] { ++wakes; });
    const auto held = [&] {
        const QDBusMessage reply =
            bus->call(login1, managerPath, managerInterface, QStringLiteral("ListInhibitors"));
        if (reply.arguments().isEmpty()) {
            return -1;
        }
        const QDBusArgument list = reply.arguments().constFirst().value<QDBusArgument>();
        int count = 0;
        list.beginArray();
        while (!list.atEnd()) {
            QString what, who, why, mode;
            unsigned user = 0, pid = 0;
            list.beginStructure();
            list >> what >> who >> why >> mode >> user >> pid;
            list.endStructure();
            count += what == QLatin1String("sleep") && mode == QLatin1String("delay") ? 1 : 0;
        }
        list.endArray();
        return count;
    };
    ASSERT_TRUE(waitUntil([&] { return watch.holdsInhibitor() && held() == 1; }));

    const auto prepare = [&](bool sleeping) {
        bus->call(login1, managerPath, mockInterface, QStringLiteral("EmitSignal"),
                  {managerInterface, QStringLiteral("PrepareForSleep"), QStringLiteral("b"),
                   QVariantList{sleeping}});
    };
    prepare(true);
    ASSERT_TRUE(waitUntil([&] { return sleeps == 1; }));
    // Released after the grace, so that logind goes on to sleep.
    EXPECT_TRUE(watch.holdsInhibitor());
    EXPECT_TRUE(waitUntil([&] { return held() == 0; }));
    prepare(false);
    ASSERT_TRUE(waitUntil([&] { return wakes == 1; }));
    EXPECT_TRUE(waitUntil([&] { return held() == 1; })) << "taken again for the next sleep";
    EXPECT_EQ(sleeps, 1);
}

TEST_F(LogindTest, SleepRequestsFollowCanSuspend) {
    UPowerSources power(bus->connection());
    const auto absent = finish(power.requestSleep());
    ASSERT_TRUE(absent.value);
    EXPECT_EQ(*absent.value, PowerSources::SleepOutcome::Unavailable);

    startLogind();
    struct Row {
        const char* canSuspend;
        PowerSources::SleepOutcome expected;
    };
    for (const Row row : {Row{"yes", PowerSources::SleepOutcome::Accepted},
                          Row{"challenge", PowerSources::SleepOutcome::Denied},
                          Row{"na", PowerSources::SleepOutcome::Unavailable},
                          Row{"no", PowerSources::SleepOutcome::Unavailable}}) {
        addMockMethod(*bus, login1, managerPath, managerInterface, QStringLiteral("CanSuspend"), {},
                      QStringLiteral("s"),
                      QStringLiteral("ret = '%1'").arg(QLatin1String(row.canSuspend)));
        const auto outcome = finish(power.requestSleep());
        ASSERT_TRUE(outcome.value);
        EXPECT_EQ(*outcome.value, row.expected) << row.canSuspend;
    }
    // Suspend refused by logind after "yes" (a polkit denial) is a denial.
    addMockMethod(*bus, login1, managerPath, managerInterface, QStringLiteral("CanSuspend"), {},
                  QStringLiteral("s"), QStringLiteral("ret = 'yes'"));
    addMockMethod(*bus, login1, managerPath, managerInterface, QStringLiteral("Suspend"),
                  QStringLiteral("b"), {},
                  QStringLiteral("raise dbus.exceptions.DBusException('no', "
                                 "name='org.freedesktop.DBus.Error.AccessDenied')"));
    const auto denied = finish(power.requestSleep());
    ASSERT_TRUE(denied.value);
    EXPECT_EQ(*denied.value, PowerSources::SleepOutcome::Denied);
}

} // namespace
} // namespace corvane
