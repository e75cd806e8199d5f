#include "DesktopServices.h"

#include "linuxdesktop/MprisMediaPlayers.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>

namespace corvane {
namespace {

using namespace desktop_services;
using Player = MediaPlayers::Player;
using Track = MediaPlayers::Track;

// A small MPRIS player: its name, identity and status from the command line; Next and Previous
// move through numbered tracks, PlayPause toggles. Optional fourth argument: seconds every answer
// waits first (a player that hangs).
constexpr const char* playerScript = R"(
import sys, time, dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
name, identity, status = sys.argv[1], sys.argv[2], sys.argv[3]
delay = float(sys.argv[4]) if len(sys.argv) > 4 else 0
ROOT, PLAYER = 'org.mpris.MediaPlayer2', 'org.mpris.MediaPlayer2.Player'
class P(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, '/org/mpris/MediaPlayer2')
        self.track, self.status = 1, status
    def meta(self):
        return dbus.Dictionary({'xesam:title': 'Track %d' % self.track,
                                'xesam:artist': dbus.Array(['Ann', 'Bo'], signature='s')},
                               signature='sv')
    def props(self, iface):
        time.sleep(delay)
        if iface == ROOT:
            return {'Identity': identity}
        return {'PlaybackStatus': self.status, 'Metadata': self.meta()}
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='ss', out_signature='v')
    def Get(self, iface, prop):
        return self.props(iface)[prop]
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='s', out_signature='a{sv}')
    def GetAll(self, iface):
        return self.props(iface)
    @dbus.service.method(PLAYER)
    def Next(self):
        self.track += 1
    @dbus.service.method(PLAYER)
    def Previous(self):
        self.track -= 1
    @dbus.service.method(PLAYER)
    def PlayPause(self):
        self.status = 'Paused' if self.status == 'Playing' else 'Playing'
bus = dbus.SessionBus()
keep = dbus.service.BusName('org.mpris.MediaPlayer2.' + name, bus)
player = P(bus)
GLib.MainLoop().run()
)";

class MprisMediaPlayersTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const QString missing = missingProgram({QStringLiteral("dbus-daemon")});
            !missing.isEmpty()) {
            GTEST_SKIP() << "media player tests need " << missing.toStdString()
                         << " (package dbus)";
        }
        if (const QString missing = missingDbusmock(); !missing.isEmpty()) {
            GTEST_SKIP() << "media player tests need " << missing.toStdString()
                         << " (python3-dbus, python3-gi)";
        }
        ASSERT_TRUE(scratch.isValid());
        bus = std::make_unique<PrivateBus>(scratch.path(), QStringLiteral("session"));
        ASSERT_TRUE(bus->started());
        script = scratch.filePath(QStringLiteral("player.py"));
        QFile file(script);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(playerScript);
    }

    std::unique_ptr<Service> startPlayer(const QString& name, const QString& identity,
                                         const QString& status, const QString& delay = {}) {
        QStringList arguments{script, name, identity, status};
        if (!delay.isEmpty()) {
            arguments << delay;
        }
        auto player = std::make_unique<Service>(QStringLiteral("/usr/bin/python3"), arguments,
                                                bus->environment());
        EXPECT_TRUE(bus->waitForOwner(QStringLiteral("org.mpris.MediaPlayer2.") + name));
        return player;
    }

    QTemporaryDir scratch;
    std::unique_ptr<PrivateBus> bus;
    QString script;
};

TEST_F(MprisMediaPlayersTest, PlayersComePlayingFirstAndAreSteeredWithoutAsking) {
    MprisMediaPlayers players(bus->connection());
    EXPECT_TRUE(finish(players.running()).value->empty());

    const auto paused = startPlayer(QStringLiteral("aplayer"), QStringLiteral("A Player"),
                                    QStringLiteral("Paused"));
    const auto stopped = startPlayer(QStringLiteral("bplayer"), QStringLiteral("B Player"),
                                     QStringLiteral("Stopped"));
    const auto playing = startPlayer(QStringLiteral("spotify"), QStringLiteral("Spotify"),
                                     QStringLiteral("Playing"));
    // Players that appear later are found through the bus's notices.
    std::vector<Player> running;
    ASSERT_TRUE(waitUntil([&] {
        running = finish(players.running()).value.value();
        return running.size() == 3;
    }));
    const std::vector<Player> expected{{"org.mpris.MediaPlayer2.spotify", "Spotify"},
                                       {"org.mpris.MediaPlayer2.aplayer", "Music"},
                                       {"org.mpris.MediaPlayer2.bplayer", "Music"}};
    ASSERT_EQ(running, expected);
    EXPECT_TRUE(finish(players.automationPermitted(running[1])).value.value());

    EXPECT_EQ(finish(players.nowPlaying(running[0])).value.value(),
              (Track{"Track 1", "Ann, Bo", true}));
    EXPECT_EQ(finish(players.nowPlaying(running[1])).value.value(),
              (Track{"Track 1", "Ann, Bo", false}));
    EXPECT_EQ(finish(players.nowPlaying(running[2])).value.value(), std::nullopt) << "stopped";

    using Command = MediaPlayers::Command;
    EXPECT_EQ(finish(players.send(running[0], Command::Next)).value.value(), ControlResult::Done);
    EXPECT_EQ(finish(players.send(running[0], Command::Next)).value.value(), ControlResult::Done);
    EXPECT_EQ(finish(players.send(running[0], Command::Previous)).value.value(),
              ControlResult::Done);
    EXPECT_EQ(finish(players.send(running[0], Command::PlayPause)).value.value(),
              ControlResult::Done);
    EXPECT_EQ(finish(players.nowPlaying(running[0])).value.value(),
              (Track{"Track 2", "Ann, Bo", false}));
}

TEST_F(MprisMediaPlayersTest, APlayerThatLeavesOrHangsIsRefusedInBoundedTime) {
    MprisMediaPlayers players(bus->connection());
    auto gone =
        startPlayer(QStringLiteral("gone"), QStringLiteral("Gone"), QStringLiteral("Playing"));
    std::vector<Player> running;
    ASSERT_TRUE(waitUntil([&] {
        running = finish(players.running()).value.value();
        return running.size() == 1;
    }));
    gone.reset();
    ASSERT_TRUE(waitUntil([&] { return finish(players.running()).value.value().empty(); }));
    EXPECT_EQ(finish(players.nowPlaying(running[0])).value.value(), std::nullopt);
    EXPECT_EQ(finish(players.send(running[0], MediaPlayers::Command::Next)).value.value(),
              ControlResult::Refused);
    EXPECT_EQ(
        finish(players.send(Player{"org.example.NotAPlayer", "Music"}, MediaPlayers::Command::Next))
            .value.value(),
        ControlResult::NotSent);

    const auto slow = startPlayer(QStringLiteral("slow"), QStringLiteral("Slow"),
                                  QStringLiteral("Playing"), QStringLiteral("5"));
    MprisMediaPlayers fresh(bus->connection());
    // The event loop keeps turning meanwhile: a blocking call would stall it for seconds.
    QTimer tick;
    auto last = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration longest{};
    QObject::connect(&tick, &QTimer::timeout, &tick, [&] {
        const auto now = std::chrono::steady_clock::now();
        longest = std::max(longest, now - last);
        last = now;
    });
    tick.start(std::chrono::milliseconds(5));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(finish(fresh.running()).value->empty()) << "a player that never answers";
    EXPECT_LT(std::chrono::steady_clock::now() - started,
              MprisMediaPlayers::answerTime + std::chrono::seconds(1));
    EXPECT_LT(longest, std::chrono::milliseconds(500));
}

} // namespace
} // namespace corvane
