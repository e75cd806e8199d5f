#include "mac/AudioOutputOnMac.h"
#include "mac/MediaPlayersOnMac.h"

#include "support/FakePlatform.h"

#include <gtest/gtest.h>

#include <memory>

namespace corvane {
namespace {

using Array = PlatformValue::Array;
using Result = MacScripting::Result;
using Failure = MacScripting::Failure;
using State = AudioOutput::State;
using Track = MediaPlayers::Track;
using Command = MediaPlayers::Command;

template <typename T>
QCoro::Task<> store(QCoro::Task<T> task, std::shared_ptr<std::optional<T>> out) {
    *out = co_await std::move(task);
}

// The adapters run their script at once, so every call has its answer without an event loop.
template <typename T>
T finished(QCoro::Task<T> task) {
    auto out = std::make_shared<std::optional<T>>();
    const QCoro::Task<> storing = store(std::move(task), out);
    if (!out->has_value()) {
        ADD_FAILURE() << "the adapter waited for something";
        return T{};
    }
    return std::move(**out);
}

const std::string volumeSettings = "set settings to get volume settings\n"
                                   "return {output volume of settings, output muted of settings}";

std::string nowPlayingOf(const std::string& bundleID) {
    return "with timeout of 1 seconds\n"
           "    tell application id \"" +
           bundleID +
           "\"\n"
           "        if player state is stopped then return {}\n"
           "        return {name of current track, artist of current track, player state is "
           "playing}\n"
           "    end tell\n"
           "end timeout";
}

TEST(AudioOutputOnMac, ReadsLevelAndMuteFromTheVolumeSettingsScript) {
    struct Row {
        const char* name;
        Result reply;
        std::optional<State> expected;
    } const rows[] = {
        {"plain", Array{PlatformValue(40), PlatformValue(false)}, State{40, false}},
        {"above 100", Array{PlatformValue(250), PlatformValue(false)}, State{100, false}},
        {"negative", Array{PlatformValue(-3), PlatformValue(false)}, State{0, false}},
        {"beyond 32 bits does not wrap",
         Array{PlatformValue(std::int64_t{4294967346}), PlatformValue(false)}, State{100, false}},
        {"a real level", Array{PlatformValue(37.6), PlatformValue(true)}, State{38, true}},
        {"not a number", Array{PlatformValue(std::nan("")), PlatformValue(true)}, std::nullopt},
        {"level as text", Array{PlatformValue("40"), PlatformValue(false)}, std::nullopt},
        {"muted as a number", Array{PlatformValue(40), PlatformValue(0)}, std::nullopt},
        {"one item", Array{PlatformValue(40)}, std::nullopt},
        {"three items", Array{PlatformValue(40), PlatformValue(false), PlatformValue(false)},
         std::nullopt},
        {"empty", Array{}, std::nullopt},
        {"run failure", Failure::ExecutionFailed, std::nullopt},
    };
    for (const Row& row : rows) {
        test::FakeScripting scripting;
        scripting.replies.emplace(volumeSettings, row.reply);
        scripting.next = Failure::CompileFailed; // any other text is not this script
        AudioOutputOnMac audio(scripting);
        EXPECT_EQ(finished(audio.read()), row.expected) << row.name;
        EXPECT_EQ(scripting.sources, std::vector<std::string>{volumeSettings}) << row.name;
    }
}

TEST(AudioOutputOnMac, ChangesAreOneScriptEach) {
    test::FakeScripting scripting;
    AudioOutputOnMac audio(scripting);
    struct Row {
        Result reply;
        ControlResult expected;
    } const rows[] = {
        {Array{}, ControlResult::Done},
        {Failure::CompileFailed, ControlResult::NotSent},
        {Failure::ExecutionFailed, ControlResult::Refused},
    };
    for (const Row& row : rows) {
        scripting.next = row.reply;
        scripting.sources.clear();
        EXPECT_EQ(finished(audio.setVolume(35)), row.expected);
        EXPECT_EQ(finished(audio.setMuted(true)), row.expected);
        EXPECT_EQ(finished(audio.setMuted(false)), row.expected);
        EXPECT_EQ(scripting.sources, (std::vector<std::string>{"set volume output volume 35",
                                                               "set volume with output muted",
                                                               "set volume without output muted"}));
    }
}

TEST(MediaPlayersOnMac, RunningPlayersComeInPreferenceOrder) {
    const MediaPlayers::Player music{"com.apple.Music", "Music"};
    const MediaPlayers::Player spotify{"com.spotify.client", "Spotify"};
    RunningApplication noBundle;
    noBundle.pid = 9;
    struct Row {
        std::vector<RunningApplication> running;
        std::vector<MediaPlayers::Player> expected;
    };
    const Row rows[] = {
        {{test::app(1, "com.spotify.client"), test::app(2, "com.apple.Music")}, {music, spotify}},
        {{test::app(1, "com.spotify.client"), test::app(3, "com.spotify.client")}, {spotify}},
        {{test::app(2, "com.apple.Music"), noBundle}, {music}},
        {{test::app(4, "com.apple.music"), test::app(5, "com.apple.Music.helper")}, {}},
        {{}, {}},
    };
    test::FakeScripting scripting;
    test::FakeWorkspace workspace;
    MediaPlayersOnMac players(scripting, workspace);
    for (const Row& row : rows) {
        workspace.running = row.running;
        EXPECT_EQ(finished(players.running()), row.expected) << row.expected.size();
    }
    EXPECT_TRUE(scripting.sources.empty());
    EXPECT_TRUE(scripting.permissionQueries.empty());
}

TEST(MediaPlayersOnMac, OnlyAnExistingGrantPermitsAndNothingRunsToFindOut) {
    test::FakeScripting scripting;
    test::FakeWorkspace workspace;
    MediaPlayersOnMac players(scripting, workspace);
    scripting.permissions = {{"com.apple.Music", MacScripting::Permission::Granted},
                             {"com.spotify.client", MacScripting::Permission::Denied}};
    EXPECT_TRUE(finished(players.automationPermitted({"com.apple.Music", "Music"})));
    EXPECT_FALSE(finished(players.automationPermitted({"com.spotify.client", "Spotify"})));
    EXPECT_FALSE(finished(players.automationPermitted({"com.example.player", "Player"})));
    EXPECT_EQ(
        scripting.permissionQueries,
        (std::vector<std::string>{"com.apple.Music", "com.spotify.client", "com.example.player"}));
    EXPECT_TRUE(scripting.sources.empty());
}

TEST(MediaPlayersOnMac, NowPlayingReadsTitleArtistAndState) {
    struct Row {
        const char* name;
        Result reply;
        std::optional<Track> expected;
    } const rows[] = {
        {"playing", Array{PlatformValue("Aria"), PlatformValue("Singer"), PlatformValue(true)},
         Track{"Aria", "Singer", true}},
        {"empty texts stay texts", Array{PlatformValue(""), PlatformValue(""), PlatformValue(true)},
         Track{"", "", true}},
        {"title not text", Array{PlatformValue(5), PlatformValue("A"), PlatformValue(true)},
         Track{std::nullopt, "A", true}},
        {"artist a list", Array{PlatformValue("T"), PlatformValue(Array{}), PlatformValue(true)},
         Track{"T", std::nullopt, true}},
        {"stopped", Array{}, std::nullopt},
        {"state not a flag", Array{PlatformValue("A"), PlatformValue("B"), PlatformValue(1)},
         std::nullopt},
        {"two items", Array{PlatformValue("A"), PlatformValue("B")}, std::nullopt},
        {"four items",
         Array{PlatformValue("A"), PlatformValue("B"), PlatformValue(true), PlatformValue(true)},
         std::nullopt},
        {"run failure", Failure::ExecutionFailed, std::nullopt},
        {"compile failure", Failure::CompileFailed, std::nullopt},
    };
    const std::string bundleID = "com.spotify.client";
    for (const Row& row : rows) {
        test::FakeScripting scripting;
        test::FakeWorkspace workspace;
        scripting.replies.emplace(nowPlayingOf(bundleID), row.reply);
        scripting.next = Failure::CompileFailed;
        MediaPlayersOnMac players(scripting, workspace);
        EXPECT_EQ(finished(players.nowPlaying({bundleID, "Name"})), row.expected) << row.name;
        EXPECT_EQ(scripting.sources, std::vector<std::string>{nowPlayingOf(bundleID)});
    }
}

TEST(MediaPlayersOnMac, CommandsAreTellScriptsToThePlayer) {
    struct Row {
        const char* bundleID;
        Command command;
        const char* script;
    } const rows[] = {
        {"com.apple.Music", Command::PlayPause,
         R"(tell application id "com.apple.Music" to playpause)"},
        {"com.apple.Music", Command::Next,
         R"(tell application id "com.apple.Music" to next track)"},
        {"com.apple.Music", Command::Previous,
         R"(tell application id "com.apple.Music" to previous track)"},
        // Any player: only the bundle identifier changes.
        {"com.spotify.client", Command::Next,
         R"(tell application id "com.spotify.client" to next track)"},
    };
    const std::pair<Result, ControlResult> answers[] = {
        {Array{}, ControlResult::Done},
        {Failure::CompileFailed, ControlResult::NotSent},
        {Failure::ExecutionFailed, ControlResult::Refused},
    };
    for (const auto& [reply, expected] : answers) {
        for (const Row& row : rows) {
            test::FakeScripting scripting;
            test::FakeWorkspace workspace;
            scripting.next = reply;
            MediaPlayersOnMac players(scripting, workspace);
            EXPECT_EQ(finished(players.send({row.bundleID, "Name"}, row.command)), expected)
                << row.script;
            EXPECT_EQ(scripting.sources, std::vector<std::string>{row.script});
        }
    }
}

} // namespace
} // namespace corvane
