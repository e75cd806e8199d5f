#include "DesktopServices.h"

#include "linuxdesktop/PulseAudioOutput.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace corvane {
namespace {

using namespace desktop_services;
using State = AudioOutput::State;

// A sound server of the test's own: PulseAudio with one null sink, on a socket in a private
// runtime folder, checked with pactl.
class PulseAudioOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const QString missing =
                missingProgram({QStringLiteral("pulseaudio"), QStringLiteral("pactl")});
            !missing.isEmpty()) {
            GTEST_SKIP() << "sound tests need " << missing.toStdString()
                         << " (packages pulseaudio, pulseaudio-utils)";
        }
        ASSERT_TRUE(scratch.isValid());
        socket = scratch.filePath(QStringLiteral("native"));
        server = QStringLiteral("unix:") + socket;
        startServer();
    }

    void startServer() {
        const QString home = scratch.filePath(QStringLiteral("home"));
        QDir().mkpath(home);
        pulse = std::make_unique<Service>(
            QStringLiteral("pulseaudio"),
            QStringList{QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
                        QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--use-pid-file=no"),
                        QStringLiteral("-L"),
                        QStringLiteral("module-native-protocol-unix socket=%1 auth-anonymous=1")
                            .arg(socket),
                        QStringLiteral("-L"),
                        QStringLiteral("module-null-sink sink_name=corvane_test")},
            QStringList{QStringLiteral("HOME=") + home,
                        QStringLiteral("XDG_RUNTIME_DIR=") + scratch.path(),
                        QStringLiteral("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent")});
        ASSERT_TRUE(waitUntil([&] { return pactl({QStringLiteral("info")}).has_value(); }))
            << "the sound server did not start";
    }

    // pactl's output, absent when it fails.
    std::optional<QString> pactl(const QStringList& arguments) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PULSE_SERVER"), server);
        process.setProcessEnvironment(env);
        process.start(QStringLiteral("pactl"), arguments);
        if (!process.waitForFinished(10000) || process.exitCode() != 0) {
            return std::nullopt;
        }
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    // The percentages of the sink's channels as pactl reads them.
    std::vector<int> channels() {
        std::vector<int> out;
        const QString text =
            pactl({QStringLiteral("get-sink-volume"), QStringLiteral("corvane_test")})
                .value_or(QString());
        static const QRegularExpression percent(QStringLiteral("(\\d+)%"));
        for (auto match = percent.globalMatch(text); match.hasNext();) {
            out.push_back(match.next().captured(1).toInt());
        }
        return out;
    }

    std::optional<State> read(PulseAudioOutput& output) {
        return finish(output.read()).value.value();
    }

    QTemporaryDir scratch;
    QString socket;
    QString server;
    std::unique_ptr<Service> pulse;
};

TEST_F(PulseAudioOutputTest, LevelsAndMuteReachTheSinkAndComeBackFromIt) {
    PulseAudioOutput output(server.toStdString());
    EXPECT_EQ(read(output), (State{100, false}));

    EXPECT_EQ(finish(output.setVolume(30)).value.value(), ControlResult::Done);
    EXPECT_EQ(channels(), (std::vector<int>{30, 30}));
    EXPECT_EQ(read(output), (State{30, false})) << "seen at once, before the server's event";

    EXPECT_EQ(finish(output.setMuted(true)).value.value(), ControlResult::Done);
    EXPECT_EQ(pactl({QStringLiteral("get-sink-mute"), QStringLiteral("corvane_test")}),
              QStringLiteral("Mute: yes\n"));
    EXPECT_EQ(read(output), (State{30, true}));

    // Changes made by anyone else arrive through the subscription.
    pactl({QStringLiteral("set-sink-mute"), QStringLiteral("corvane_test"), QStringLiteral("0")});
    pactl(
        {QStringLiteral("set-sink-volume"), QStringLiteral("corvane_test"), QStringLiteral("55%")});
    EXPECT_TRUE(waitUntil([&] { return read(output) == State{55, false}; }));

    // The loudest channel is the level; a new level keeps the balance.
    pactl({QStringLiteral("set-sink-volume"), QStringLiteral("corvane_test"), QStringLiteral("80%"),
           QStringLiteral("40%")});
    EXPECT_TRUE(waitUntil([&] { return read(output) == State{80, false}; }));
    EXPECT_EQ(finish(output.setVolume(40)).value.value(), ControlResult::Done);
    EXPECT_EQ(channels(), (std::vector<int>{40, 20}));

    // Above the normal volume (the desktop allows boosting) still reads as 100.
    pactl({QStringLiteral("set-sink-volume"), QStringLiteral("corvane_test"),
           QStringLiteral("150%")});
    EXPECT_TRUE(waitUntil([&] { return read(output) == State{100, false}; }));
    EXPECT_EQ(finish(output.setVolume(0)).value.value(), ControlResult::Done);
    EXPECT_EQ(channels(), (std::vector<int>{0, 0}));
    EXPECT_EQ(finish(output.setVolume(25)).value.value(), ControlResult::Done);
    EXPECT_EQ(channels(), (std::vector<int>{25, 25})) << "a silent sink gets the level again";
}

TEST_F(PulseAudioOutputTest, ALostServerReadsAsAbsentAndIsReachedAgain) {
    PulseAudioOutput output(server.toStdString());
    ASSERT_EQ(read(output), (State{100, false}));
    EXPECT_TRUE(output.reachable());

    pulse->stop();
    QFile::remove(socket);
    EXPECT_TRUE(waitUntil([&] { return !output.reachable(); }));
    EXPECT_EQ(read(output), std::nullopt);
    EXPECT_EQ(finish(output.setVolume(10)).value.value(), ControlResult::NotSent);

    startServer();
    EXPECT_TRUE(waitUntil([&] { return read(output) == State{100, false}; }));
    EXPECT_EQ(finish(output.setVolume(10)).value.value(), ControlResult::Done);
    EXPECT_EQ(channels(), (std::vector<int>{10, 10}));
}

TEST(PulseAudioOutputAbsent, NoServerIsNoStateAndNothingSent) {
    PulseAudioOutput output("unix:/nonexistent/corvane-no-pulse");
    EXPECT_EQ(finish(output.read()).value.value(), std::nullopt);
    EXPECT_EQ(finish(output.setMuted(true)).value.value(), ControlResult::NotSent);
    EXPECT_FALSE(output.reachable());
}

TEST(PulseAudioOutputLevels, PercentOfTheNormalVolumeRoundTrips) {
    for (int percent = 0; percent <= 100; ++percent) {
        EXPECT_EQ(PulseAudioOutput::percentOf(PulseAudioOutput::volumeOf(percent)), percent);
    }
    EXPECT_EQ(PulseAudioOutput::volumeOf(-5), 0u);
    EXPECT_EQ(PulseAudioOutput::percentOf(0xFFFFFFFFu), 100);
}

} // namespace
} // namespace corvane
