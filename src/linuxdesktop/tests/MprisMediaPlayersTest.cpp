#include "DesktopServices.h"

#include "linuxdesktop/MprisMediaPlayers.h"

#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>

namespace corvane {
namespace {

using namespace desktop_services;
using Player = MediaPlayers::Player;
using Track = MediaPlayers::Track;

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
    }

    std::unique_ptr<Service> startPlayer(const QString& name, const QString& identity,
                                         const QString& status, const QString& delay = {}) {
        return desktop_services::startPlayer(*bus, scratch.path(), name, identity, status, delay);
    }

    QTemporaryDir scratch;
    std::unique_ptr<PrivateBus> bus;
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
