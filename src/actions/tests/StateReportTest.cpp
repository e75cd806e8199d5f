#include "actions/StateReport.h"
#include "actions/DeviceCapabilityReport.h"
#include "actions/NowPlayingReader.h"

#include "support/FakePlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace corvane {
namespace {

using Array = PlatformValue::Array;

RunningApplication
app(std::optional<std::string> name,
    RunningApplication::ActivationPolicy policy = RunningApplication::ActivationPolicy::Regular,
    std::optional<std::string> bundleID = std::nullopt) {
    RunningApplication a;
    a.localizedName = std::move(name);
    a.activationPolicy = policy;
    a.bundleID = std::move(bundleID);
    return a;
}

QCoro::Task<> store(QCoro::Task<JSON> task, std::shared_ptr<std::optional<JSON>> out) {
    *out = co_await std::move(task);
}

// The fakes answer at once, so the report must be complete without an event loop.
JSON finished(QCoro::Task<JSON> task) {
    auto out = std::make_shared<std::optional<JSON>>();
    const QCoro::Task<> storing = store(std::move(task), out);
    if (!out->has_value()) {
        ADD_FAILURE() << "the report waited for something";
        return {};
    }
    return std::move(**out);
}

using Track = MediaPlayers::Track;

Track track(std::optional<std::string> title, std::optional<std::string> artist, bool playing) {
    return Track{.title = std::move(title), .artist = std::move(artist), .playing = playing};
}

// A running player that may be automated and, unless `playing` is absent, has a track.
void addPlayer(test::FakePlatform& mac, const MediaPlayers::Player& player,
               std::optional<Track> playing, bool permitted = true) {
    mac.players.players.push_back(player);
    if (permitted) {
        mac.players.permitted.insert(player.id);
    }
    if (playing) {
        mac.players.tracks[player.id] = *playing;
    }
}

TEST(NowPlayingReader, AsksThePreferredPlayerFirstAndSkipsWhatCannotAnswer) {
    struct Case {
        const char* name;
        bool musicRuns;
        bool musicPermitted;
        std::optional<Track> music; // absent: stopped or not answering
        JSON expected;
    };
    const JSON fromSpotify = JSON::Object{
        {"title", "Song"}, {"artist", "Band"}, {"source_app", "Spotify"}, {"playing", true}};
    const JSON fromMusic = JSON::Object{
        {"title", "Aria"}, {"artist", "Singer"}, {"source_app", "Music"}, {"playing", false}};
    const Track aria = track("Aria", "Singer", true);
    const Case cases[] = {
        {"music wins, paused", true, true, track("Aria", "Singer", false), fromMusic},
        {"music stopped", true, true, std::nullopt, fromSpotify},
        {"music not running", false, true, aria, fromSpotify},
        {"music not permitted", true, false, aria, fromSpotify},
        {"music radio without artist", true, true, track("Radio", "", true), fromSpotify},
        {"music title not text", true, true, track(std::nullopt, "A", true), fromSpotify},
    };
    for (const Case& c : cases) {
        test::FakePlatform mac;
        if (c.musicRuns) {
            addPlayer(mac, test::music, c.music, c.musicPermitted);
        }
        addPlayer(mac, test::spotify, track("Song", "Band", true));
        EXPECT_EQ(finished(NowPlayingReader::read(mac.platform())), c.expected) << c.name;
        // A player that may not be automated is never asked what it plays.
        if (!c.musicPermitted) {
            EXPECT_EQ(mac.players.calls, (std::vector<std::string>{"permitted com.apple.Music",
                                                                   "permitted com.spotify.client",
                                                                   "playing com.spotify.client"}))
                << c.name;
        }
    }

    // Nothing to report: null, whether nothing runs, nothing plays, or nothing may be asked.
    test::FakePlatform quiet;
    EXPECT_TRUE(finished(NowPlayingReader::read(quiet.platform())).isNull());
    addPlayer(quiet, test::music, std::nullopt);
    addPlayer(quiet, test::spotify, track("Song", "Band", true), false);
    EXPECT_TRUE(finished(NowPlayingReader::read(quiet.platform())).isNull());
}

TEST(NowPlayingReader, NormalizedChecksSourceAndCutsTexts) {
    EXPECT_TRUE(NowPlayingReader::normalized("T", "A", "Radio").isNull());
    EXPECT_TRUE(NowPlayingReader::normalized("T", "A", "music").isNull());
    EXPECT_TRUE(NowPlayingReader::normalized(std::nullopt, "A", "Music").isNull());
    EXPECT_TRUE(NowPlayingReader::normalized("T", std::nullopt, "Music").isNull());
    EXPECT_TRUE(NowPlayingReader::normalized("", "A", "Spotify").isNull());

    const std::string accented = "\xC3\xA9"; // two bytes, one character
    std::string longTitle;
    for (int i = 0; i < 600; ++i) {
        longTitle += accented;
    }
    const JSON n = NowPlayingReader::normalized(longTitle, std::string(501, 'a'), "Spotify");
    ASSERT_TRUE(n.isObject());
    EXPECT_EQ(n.stringMember("title")->size(), 1000u);
    EXPECT_EQ(*n.stringMember("artist"), std::string(500, 'a'));
    EXPECT_EQ(*n.stringMember("source_app"), "Spotify");
}

TEST(StateReport, RunningAppsKeepsRegularNamesInOrderCutAndBounded) {
    using Policy = RunningApplication::ActivationPolicy;
    test::FakeWorkspace workspace;
    const std::string e = "e\xCC\x81"; // one character, three bytes
    std::string longName;
    for (int i = 0; i < 200; ++i) {
        longName += e;
    }
    workspace.running = {app("Mail"),
                         app("Helper", Policy::Accessory),
                         app("Daemon", Policy::Prohibited),
                         app(std::nullopt),
                         app(""),
                         app(longName),
                         app("Mail")};
    const JSON names = StateReport::runningApps(workspace);
    ASSERT_TRUE(names.isArray());
    ASSERT_EQ(names.array()->size(), 3u);
    EXPECT_EQ(*(*names.array())[0].string(), "Mail");
    EXPECT_EQ((*names.array())[1].string()->size(), 160u * 3);
    EXPECT_EQ(*(*names.array())[2].string(), "Mail");

    workspace.running.clear();
    for (int i = 0; i < 600; ++i) {
        // Built by appending: GCC 12 takes "A" + std::string&& for an overlapping copy when
        // optimising.
        workspace.running.push_back(
            app(i % 2 ? std::string("A").append(std::to_string(i)) : std::string()));
        workspace.running.push_back(app(std::string("B").append(std::to_string(i))));
    }
    const JSON bounded = StateReport::runningApps(workspace);
    ASSERT_EQ(bounded.array()->size(), 512u);
    EXPECT_EQ(*bounded.array()->back().string(), "A341");
}

TEST(StateReport, FrontmostAppIsCutOrNull) {
    test::FakeWorkspace workspace;
    EXPECT_TRUE(StateReport::frontmostApp(workspace).isNull());
    workspace.front = app(std::nullopt);
    EXPECT_TRUE(StateReport::frontmostApp(workspace).isNull());
    workspace.front = app("");
    EXPECT_EQ(StateReport::frontmostApp(workspace), JSON(""));
    workspace.front = app(std::string(200, 'x'));
    EXPECT_EQ(StateReport::frontmostApp(workspace), JSON(std::string(160, 'x')));
}

TEST(StateReport, GatherAssemblesTheSevenKeys) {
    test::FakePlatform mac;
    mac.workspace.front = app("Finder");
    mac.workspace.running = {app("Finder"), app("Spotify")};
    addPlayer(mac, test::spotify, track("Song", "Band", false));
    mac.power.sources =
        Array{PlatformValue::Dictionary{{"Current Capacity", 1}, {"Max Capacity", 3}}};
    mac.audio.state = AudioOutput::State{.volume = 30, .muted = true};
    Platform platform = mac.platform();

    const JSON report = finished(StateReport::gather(platform));
    ASSERT_TRUE(report.isObject());
    EXPECT_EQ(report.object()->size(), 7u);
    EXPECT_EQ(*report.find("screen_locked"), JSON(false));
    EXPECT_EQ(*report.find("frontmost_app"), JSON("Finder"));
    EXPECT_EQ(*report.find("now_playing")->stringMember("source_app"), "Spotify");
    EXPECT_EQ(*report.find("battery"), JSON(JSON::Object{{"percent", 33}, {"charging", false}}));
    EXPECT_EQ(*report.find("running_apps"), JSON(JSON::Array{"Finder", "Spotify"}));
    EXPECT_EQ(report.find("system")->object()->size(), 6u);
    EXPECT_EQ(*report.find("audio"), JSON(JSON::Object{{"volume", 30}, {"muted", true}}));

    // With every source missing, or failing, the keys stay, with null or empty values.
    test::FakePlatform bare;
    test::FakePlatform failing;
    addPlayer(failing, test::music, track("Aria", "Singer", true));
    failing.audio.state = AudioOutput::State{.volume = 30, .muted = false};
    failing.players.fails = true;
    failing.audio.fails = true;
    for (test::FakePlatform* fakes : {&bare, &failing}) {
        Platform barePlatform = fakes->platform();
        const JSON empty = finished(StateReport::gather(barePlatform));
        EXPECT_EQ(empty.object()->size(), 7u);
        for (const char* key : {"frontmost_app", "now_playing", "battery", "audio"}) {
            EXPECT_TRUE(empty.find(key)->isNull()) << key;
        }
        EXPECT_EQ(*empty.find("running_apps"), JSON(JSON::Array{}));
    }
}

TEST(DeviceCapabilityReport, ShapeAndPermissions) {
    test::FakePlatform mac;
    mac.accessibility.trusted = true;
    mac.capture.allowed = false;
    Platform platform = mac.platform();

    const JSON report = DeviceCapabilityReport::read(platform, true);
    ASSERT_TRUE(report.isObject());
    EXPECT_EQ(report.object()->size(), 8u);
    EXPECT_EQ(*report.find("schema_version"), JSON(1));
    EXPECT_EQ(*report.find("os_version"), JSON("Version 14.5 (Build 23F79)"));
    EXPECT_EQ(*report.find("screen_state"), JSON("unlocked"));
    EXPECT_EQ(*report.find("agent_version"), JSON(DeviceCapabilityReport::version()));
    EXPECT_FALSE(DeviceCapabilityReport::version().empty());
    const JSON* actions = report.find("actions");
    ASSERT_EQ(actions->array()->size(), 19u);
    EXPECT_EQ(actions->array()->front(), JSON("lock_screen"));
    EXPECT_EQ(actions->array()->back(), JSON("desktop_stop"));
    EXPECT_EQ(*report.find("permissions"), JSON(JSON::Object{{"desktop_control", "granted"},
                                                             {"accessibility", "granted"},
                                                             {"screen_recording", "denied"}}));

    // Not unlocked: the state is told, the permissions are not.
    const JSON unknownPermissions = JSON::Object{{"desktop_control", "unknown"},
                                                 {"accessibility", "unknown"},
                                                 {"screen_recording", "unknown"}};
    mac.console.session = PlatformValue::Dictionary{{"kCGSSessionOnConsoleKey", false},
                                                    {"kCGSSessionUserIDKey", 501}};
    JSON inactive = DeviceCapabilityReport::read(platform, true);
    EXPECT_EQ(*inactive.find("screen_state"), JSON("inactive"));
    EXPECT_EQ(*inactive.find("permissions"), unknownPermissions);
    mac.console.set(ScreenState::Locked);
    JSON locked = DeviceCapabilityReport::read(platform, false);
    EXPECT_EQ(*locked.find("screen_state"), JSON("locked"));
    EXPECT_EQ(*locked.find("permissions"), unknownPermissions);
}

TEST(DeviceCapabilityReport, BuildValuesDefaultWhenTheBuildSetsNone) {
    DeviceCapabilityReport::Inputs inputs;
    inputs.agentVersion = "development";
    const JSON report = DeviceCapabilityReport::assemble(inputs);
    EXPECT_EQ(*report.find("agent_version"), JSON("development"));
    EXPECT_TRUE(report.find("agent_build")->isNull());
    EXPECT_EQ(*report.find("screen_state"), JSON("unknown"));
}

} // namespace
} // namespace corvane
