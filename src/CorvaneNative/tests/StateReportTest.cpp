#include "CorvaneNative/StateReport.h"
#include "CorvaneNative/AudioStatus.h"
#include "CorvaneNative/DeviceCapabilityReport.h"
#include "CorvaneNative/NowPlayingReader.h"

#include "support/FakePlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace corvane {
namespace {

using Array = PlatformValue::Array;

constexpr const char* musicID = "com.apple.Music";
constexpr const char* spotifyID = "com.spotify.client";

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

// A player that is running, may be scripted and answers the query with `reply`.
void addPlayer(test::FakePlatform& mac, const char* bundleID, Scripting::Result reply,
               Scripting::Permission permission = Scripting::Permission::Granted) {
    mac.workspace.running.push_back(
        app(bundleID, RunningApplication::ActivationPolicy::Regular, bundleID));
    mac.scripting.permissions[bundleID] = permission;
    mac.scripting.replies[NowPlayingReader::script(bundleID)] = std::move(reply);
}

Array track(const char* title, const char* artist, bool playing) {
    return Array{PlatformValue(title), PlatformValue(artist), PlatformValue(playing)};
}

TEST(NowPlayingReader, AsksMusicThenSpotifyAndSkipsWhatCannotAnswer) {
    struct Case {
        const char* name;
        std::optional<Scripting::Result> music; // absent: not running
        Scripting::Permission musicPermission;
        std::optional<Scripting::Result> spotify;
        JSON expected;
    };
    const JSON fromSpotify = JSON::Object{
        {"title", "Song"}, {"artist", "Band"}, {"source_app", "Spotify"}, {"playing", true}};
    const JSON fromMusic = JSON::Object{
        {"title", "Aria"}, {"artist", "Singer"}, {"source_app", "Music"}, {"playing", false}};
    using P = Scripting::Permission;
    const Array song = track("Song", "Band", true), aria = track("Aria", "Singer", true);
    const Case cases[] = {
        {"music wins", track("Aria", "Singer", false), P::Granted, song, fromMusic},
        {"music stopped", Array{}, P::Granted, song, fromSpotify},
        {"music not running", std::nullopt, P::Granted, song, fromSpotify},
        {"music not permitted", aria, P::Denied, song, fromSpotify},
        {"music permission not asked yet", aria, P::NotDetermined, song, fromSpotify},
        {"music fails", Scripting::Failure::ExecutionFailed, P::Granted, song, fromSpotify},
        {"music radio without artist", track("Radio", "", true), P::Granted, song, fromSpotify},
        {"music title not text", Array{PlatformValue(5), PlatformValue("A"), PlatformValue(true)},
         P::Granted, song, fromSpotify},
        {"music playing flag not a boolean",
         Array{PlatformValue("A"), PlatformValue("B"), PlatformValue(1)}, P::Granted, song,
         fromSpotify},
        {"nothing anywhere", Array{}, P::Granted, Array{}, nullptr},
        {"nothing running", std::nullopt, P::Granted, std::nullopt, nullptr},
    };
    for (const Case& c : cases) {
        test::FakePlatform mac;
        if (c.music) {
            addPlayer(mac, musicID, *c.music, c.musicPermission);
        }
        if (c.spotify) {
            addPlayer(mac, spotifyID, *c.spotify);
        }
        Platform platform = mac.platform();
        EXPECT_EQ(finished(NowPlayingReader::read(platform)), c.expected) << c.name;
        // A player that may not be scripted is never sent the query.
        if (c.musicPermission != P::Granted) {
            EXPECT_EQ(std::count(mac.scripting.sources.begin(), mac.scripting.sources.end(),
                                 NowPlayingReader::script(musicID)),
                      0)
                << c.name;
        }
        // A player that is not running is not even asked about permission.
        if (!c.music) {
            EXPECT_EQ(std::count(mac.scripting.permissionQueries.begin(),
                                 mac.scripting.permissionQueries.end(), musicID),
                      0)
                << c.name;
        }
    }
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
        workspace.running.push_back(app(i % 2 ? "A" + std::to_string(i) : std::string()));
        workspace.running.push_back(app("B" + std::to_string(i)));
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
    mac.workspace.running = {app("Finder")};
    addPlayer(mac, spotifyID, track("Song", "Band", false));
    mac.power.sources =
        Array{PlatformValue::Dictionary{{"Current Capacity", 1}, {"Max Capacity", 3}}};
    mac.scripting.replies[std::string(AudioStatus::script)] =
        Array{PlatformValue(30), PlatformValue(true)};
    Platform platform = mac.platform();

    const JSON report = finished(StateReport::gather(platform));
    ASSERT_TRUE(report.isObject());
    EXPECT_EQ(report.object()->size(), 7u);
    EXPECT_EQ(*report.find("screen_locked"), JSON(false));
    EXPECT_EQ(*report.find("frontmost_app"), JSON("Finder"));
    EXPECT_EQ(*report.find("now_playing")->stringMember("source_app"), "Spotify");
    EXPECT_EQ(*report.find("battery"), JSON(JSON::Object{{"percent", 33}, {"charging", false}}));
    EXPECT_EQ(*report.find("running_apps"), JSON(JSON::Array{"Finder", "com.spotify.client"}));
    EXPECT_EQ(report.find("system")->object()->size(), 6u);
    EXPECT_EQ(*report.find("audio"), JSON(JSON::Object{{"volume", 30}, {"muted", true}}));

    // With every source missing the keys stay, with null or empty values.
    test::FakePlatform bare;
    Platform barePlatform = bare.platform();
    const JSON empty = finished(StateReport::gather(barePlatform));
    EXPECT_EQ(empty.object()->size(), 7u);
    for (const char* key : {"frontmost_app", "now_playing", "battery", "audio"}) {
        EXPECT_TRUE(empty.find(key)->isNull()) << key;
    }
    EXPECT_EQ(*empty.find("running_apps"), JSON(JSON::Array{}));
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
    EXPECT_EQ(*report.find("features"),
              JSON(JSON::Array{"audio_output_state", "playback_state", "app_inventory",
                               "desktop_images", "system_status"}));
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
