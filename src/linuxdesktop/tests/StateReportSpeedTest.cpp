#include "DesktopServices.h"

#include "actions/StateReport.h"
#include "core/SystemClock.h"
#include "linuxdesktop/AbsentAccessibility.h"
#include "linuxdesktop/AbsentAppCatalog.h"
#include "linuxdesktop/AbsentApplicationBundles.h"
#include "linuxdesktop/AbsentFocusModes.h"
#include "linuxdesktop/AbsentInput.h"
#include "linuxdesktop/AbsentLoginItems.h"
#include "linuxdesktop/AbsentScreenCapture.h"
#include "linuxdesktop/AbsentWorkspace.h"
#include "linuxdesktop/DesktopUserPrompts.h"
#include "linuxdesktop/LinuxHostStats.h"
#include "linuxdesktop/LogindSessionLock.h"
#include "linuxdesktop/MprisMediaPlayers.h"
#include "linuxdesktop/PulseAudioOutput.h"
#include "linuxdesktop/SecretServiceKeychain.h"
#include "linuxdesktop/UPowerSources.h"
#include "platform/QtProcessRunner.h"
#include "platform/SettingsUserDefaults.h"
#include "sim/SimulatedMac.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace corvane {
namespace {

using namespace desktop_services;

// The mean time of one get_state report over `platform`, in microseconds.
long long reportMicroseconds(Platform& platform, int reports) {
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < reports; ++i) {
        const auto report = finish(StateReport::gather(platform));
        EXPECT_TRUE(report.value) << "a report never fails";
    }
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 started)
               .count() /
           reports;
}

// The state report on the desktop's services against the simulated Mac's, measured in one run
// and recorded (get_state_linux_us, get_state_sim_us); both must answer whole.
TEST(StateReportSpeed, TheDesktopsReportIsMeasuredBesideTheSimulatedMacs) {
    const QString missing =
        missingProgram({QStringLiteral("dbus-daemon"), QStringLiteral("pulseaudio")});
    if (!missing.isEmpty() || !missingDbusmock().isEmpty()) {
        GTEST_SKIP() << "the measurement needs dbus-daemon, pulseaudio and python3-dbusmock";
    }
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    PrivateBus system(scratch.path(), QStringLiteral("system"));
    PrivateBus session(scratch.path(), QStringLiteral("session"));
    ASSERT_TRUE(system.started() && session.started());
    const auto upower =
        startMock(system, QStringLiteral("upower"), QStringLiteral("org.freedesktop.UPower"));
    ASSERT_NE(upower, nullptr);
    system.call(
        QStringLiteral("org.freedesktop.UPower"), QStringLiteral("/org/freedesktop/UPower"),
        QStringLiteral("org.freedesktop.DBus.Mock"), QStringLiteral("SetupDisplayDevice"),
        {2u, 2u, 42.0, 20.0, 48.0, 10.0, qlonglong(3600), qlonglong(0), true, QString(), 1u});
    const auto player = startPlayer(session, scratch.path(), QStringLiteral("spotify"),
                                    QStringLiteral("Spotify"), QStringLiteral("Playing"));
    ASSERT_NE(player, nullptr);
    const QString socket = scratch.filePath(QStringLiteral("native"));
    Service pulse(
        QStringLiteral("pulseaudio"),
        {QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
         QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--use-pid-file=no"),
         QStringLiteral("-L"),
         QStringLiteral("module-native-protocol-unix socket=%1 auth-anonymous=1").arg(socket),
         QStringLiteral("-L"), QStringLiteral("module-null-sink")},
        {QStringLiteral("HOME=") + scratch.path(),
         QStringLiteral("XDG_RUNTIME_DIR=") + scratch.path()});

    SystemClock clock;
    SettingsUserDefaults defaults(scratch.filePath(QStringLiteral("defaults.ini")));
    LogindSessionLock sessionLock(system.connection(), clock, {QStringLiteral("c1"), 1, 1});
    UPowerSources power(system.connection());
    LinuxHostStats host(system.connection(), LinuxHostStats::Roots{});
    PulseAudioOutput audio(QStringLiteral("unix:").append(socket).toStdString());
    MprisMediaPlayers players(session.connection());
    SecretServiceKeychain keychain;
    QtProcessRunner processes;
    DesktopUserPrompts prompts;
    AbsentWorkspace workspace;
    AbsentApplicationBundles bundles;
    AbsentAppCatalog catalog;
    AbsentFocusModes focus;
    AbsentLoginItems loginItems;
    AbsentAccessibility accessibility;
    AbsentInput input;
    AbsentScreenCapture capture;
    Platform linux{.workspace = workspace,
                   .bundles = bundles,
                   .sessionLock = sessionLock,
                   .accessibility = accessibility,
                   .input = input,
                   .focusModes = focus,
                   .audio = audio,
                   .mediaPlayers = players,
                   .powerSources = power,
                   .host = host,
                   .appCatalog = catalog,
                   .screenCapture = capture,
                   .keychain = keychain,
                   .processes = processes,
                   .loginItems = loginItems,
                   .defaults = defaults,
                   .prompts = prompts,
                   .clock = clock};
    // The first report fills the caches (battery, sound output); later ones are what counts.
    ASSERT_TRUE(waitUntil([&] {
        const JSON report = finish(StateReport::gather(linux)).value.value();
        return !report.find("audio")->isNull() && !report.find("battery")->isNull() &&
               !report.find("now_playing")->isNull();
    }));

    SimulatedMac mac(scratch.filePath(QStringLiteral("sim")));
    mac.loadFile(QStringLiteral(CORVANE_DEFAULT_SCENARIO));
    Platform simulated = mac.platform();
    reportMicroseconds(simulated, 5);

    constexpr int reports = 50;
    const long long desktop = reportMicroseconds(linux, reports);
    const long long sim = reportMicroseconds(simulated, reports);
    RecordProperty("get_state_linux_us", static_cast<int>(desktop));
    RecordProperty("get_state_sim_us", static_cast<int>(sim));
    std::cout << "get_state: desktop " << desktop << " us, simulated Mac " << sim << " us\n";
}

} // namespace
} // namespace corvane
