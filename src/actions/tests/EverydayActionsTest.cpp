#include "actions/EverydayActions.h"

#include "support/FakePlatform.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace corvane;
using namespace corvane::test;

namespace {

using QuitBehaviour = FakeWorkspace::QuitBehaviour;

// The inventory's name lookup over a fixed table.
QCoro::Task<std::string> lookUpName(std::map<std::string, std::string> names, std::string name) {
    const auto it = names.find(name);
    if (it == names.end()) {
        throw ContractError("app_not_found_or_ambiguous");
    }
    co_return it->second;
}

class EverydayActionsTest : public ::testing::Test {
protected:
    EverydayActionsTest() {
        install("com.example.notes", "/Applications/Notes.app");
        install("com.example.editor", "/Applications/Editor.app");
        install("com.example.agent", "/Applications/Agent.app");
        fakes.workspace.bundles["/Applications/Agent.app"].emplace("LSUIElement", true);
        install("com.apple.finder", "/System/Library/CoreServices/Finder.app");
    }

    void install(const std::string& bundleID, const std::string& path) {
        fakes.workspace.bundles[path] = {{"CFBundleIdentifier", bundleID}};
        fakes.workspace.installed[bundleID] = path;
    }

    EverydayActions::AppResolver resolver() {
        return [names = names](std::string name) {
            return lookUpName(names, std::move(name));
        };
    }

    // Runs a task on the virtual clock for at most `budget`; its outcome as text.
    template <typename T>
    std::string run(QCoro::Task<T>&& task, std::chrono::milliseconds budget = 5s) {
        return runOn(fakes.clock, std::move(task), 100ms, budget);
    }

    std::string open(const char* params) {
        return run(EverydayActions::openApp(platform, JSON::parse(params), resolver()));
    }
    std::string openURL(const char* params) {
        try {
            return EverydayActions::openURL(fakes.workspace, JSON::parse(params)).data();
        } catch (const ContractError& e) {
            return e.code();
        }
    }
    std::string quit(const char* params) {
        return run(EverydayActions::quitApp(platform, JSON::parse(params), resolver()));
    }

    FakePlatform fakes;
    Platform platform = fakes.platform();
    std::map<std::string, std::string> names{{"Notes", "/Applications/Notes.app"},
                                             {"Agent", "/Applications/Agent.app"}};
};

} // namespace

TEST_F(EverydayActionsTest, ApplicationLookupPrefersTheBundleIDThenTheNameThenRefuses) {
    struct Row {
        const char* params;
        const char* expected;
        const char* opened; // nullptr: nothing opened
    };
    const char* started = R"({"already_open":false,"focused":true})";
    const Row rows[] = {
        {R"({"bundle_id":"com.example.editor","app_name":"Notes"})", started,
         "/Applications/Editor.app"},
        {R"({"bundle_id":"com.example.missing","app_name":"Notes"})", started,
         "/Applications/Notes.app"},
        {R"({"bundle_id":7,"app_name":"Notes"})", started, "/Applications/Notes.app"},
        {R"({"bundle_id":"com.example.missing"})", "app_not_found_or_ambiguous", nullptr},
        {R"({"app_name":"Nowhere"})", "app_not_found_or_ambiguous", nullptr},
        {"{}", "app_not_found_or_ambiguous", nullptr},
        {R"({"app_name":"Agent"})", "protected_app", nullptr},
        {R"({"bundle_id":"com.apple.finder"})", "protected_app", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.params);
        fakes.workspace.running.clear();
        fakes.workspace.opened.clear();
        EXPECT_EQ(open(row.params), row.expected);
        EXPECT_EQ(fakes.workspace.opened, row.opened != nullptr
                                              ? std::vector<std::string>{row.opened}
                                              : std::vector<std::string>{});
    }
    // Without an inventory, a name designates nothing.
    EXPECT_EQ(run(EverydayActions::openApp(platform, JSON::parse(R"({"app_name":"Notes"})"), {})),
              "app_not_found_or_ambiguous");
}

TEST_F(EverydayActionsTest, OpeningARunningApplicationReportsItAndWhetherItCameToTheFront) {
    RunningApplication notes = app(40, "com.example.notes");
    notes.bundlePath = "/Applications/Notes.app";
    RunningApplication other = app(41, "com.example.editor");
    other.active = true;
    fakes.workspace.running = {other, notes};
    EXPECT_EQ(open(R"({"bundle_id":"com.example.notes"})"),
              R"({"already_open":true,"focused":true})");
    EXPECT_EQ(fakes.workspace.activations, std::vector<std::int32_t>{40});
    EXPECT_EQ(fakes.workspace.running.size(), 2u);

    // An application that opened but stayed behind is reported, not an error.
    fakes.workspace.activationWorks = false;
    fakes.workspace.running = {other};
    EXPECT_EQ(open(R"({"bundle_id":"com.example.notes"})"),
              R"({"already_open":false,"focused":false})");

    // The workspace's own open failure is passed on unchanged.
    fakes.workspace.openFailure = "action_failed";
    EXPECT_EQ(open(R"({"bundle_id":"com.example.notes"})"), "action_failed");
}

TEST_F(EverydayActionsTest, QuitEndsEveryInstanceOrSaysWhyNot) {
    const auto twoNotes = [] {
        return std::vector<RunningApplication>{app(40, "com.example.notes"),
                                               app(41, "com.example.editor"),
                                               app(42, "com.example.notes")};
    };
    struct Row {
        std::map<std::int32_t, QuitBehaviour> onQuit;
        const char* expected;
        std::vector<std::int32_t> asked;
        std::size_t stillRunning;
    };
    const Row rows[] = {
        {{}, "{}", {40, 42}, 1},
        // The first refusal stops the round: the second instance is never asked.
        {{{40, QuitBehaviour::Refuses}}, "quit_refused", {40}, 3},
        {{{42, QuitBehaviour::Stays}}, "quit_pending_user_attention", {40, 42}, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        fakes.workspace.running = twoNotes();
        fakes.workspace.onQuit = row.onQuit;
        fakes.workspace.quitRequests.clear();
        EXPECT_EQ(quit(R"({"app_name":"Notes"})"), row.expected);
        EXPECT_EQ(fakes.workspace.quitRequests, row.asked);
        EXPECT_EQ(fakes.workspace.running.size(), row.stillRunning);
    }

    fakes.workspace.running = {app(41, "com.example.editor")};
    EXPECT_EQ(quit(R"({"bundle_id":"com.example.notes"})"), R"({"already_closed":true})");
    EXPECT_EQ(quit(R"({"bundle_id":"com.example.agent"})"), "protected_app");
}

TEST_F(EverydayActionsTest, AQuitHeldBySavePromptGivesUpAfterTwentyWaits) {
    fakes.workspace.running = {app(40, "com.example.notes")};
    fakes.workspace.onQuit[40] = QuitBehaviour::Stays;
    const auto start = fakes.clock.monotonicNow();
    auto probe = watch(
        EverydayActions::quitApp(platform, JSON::parse(R"({"app_name":"Notes"})"), resolver()));
    fakes.clock.advance(1900ms);
    EXPECT_FALSE(probe->done);
    fakes.clock.advance(100ms);
    EXPECT_EQ(probe->outcome, "quit_pending_user_attention");
    EXPECT_EQ(fakes.clock.monotonicNow() - start, 2s);

    // The person saves within the budget: the quit completes on the next poll.
    auto saved = watch(
        EverydayActions::quitApp(platform, JSON::parse(R"({"app_name":"Notes"})"), resolver()));
    fakes.clock.advance(1000ms);
    fakes.workspace.running.clear();
    fakes.clock.advance(100ms);
    EXPECT_EQ(saved->outcome, "{}");
}

TEST_F(EverydayActionsTest, OnlyWebAddressesWithAHostAreOpened) {
    struct Row {
        const char* params;
        const char* expected;
        const char* opened;
    };
    const Row rows[] = {
        {R"({"url":"https://example.com/a?b=c#d"})", "{}", "https://example.com/a?b=c#d"},
        {R"({"url":"HTTPS://Example.com/Path"})", "{}", "https://example.com/Path"},
        {R"({"url":"ftp://example.com/file"})", "invalid_url", nullptr},
        {R"j({"url":"javascript:alert(1)"})j", "invalid_url", nullptr},
        {R"({"url":"https:///no-host"})", "invalid_url", nullptr},
        {R"({"url":"https://exa mple.com"})", "invalid_url", nullptr},
        {R"({"url":"https://example.com/\nx"})", "invalid_url", nullptr},
        {R"({"url":42})", "invalid_url", nullptr},
        {"{}", "invalid_url", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.params);
        fakes.workspace.openedURLs.clear();
        EXPECT_EQ(openURL(row.params), row.expected);
        EXPECT_EQ(fakes.workspace.openedURLs, row.opened != nullptr
                                                  ? std::vector<std::string>{row.opened}
                                                  : std::vector<std::string>{});
    }
    fakes.workspace.openURLWorks = false;
    EXPECT_EQ(openURL(R"({"url":"https://example.com"})"), "action_failed");
}

TEST_F(EverydayActionsTest, OnlyApprovedShortcutsRunByteForByte) {
    const std::vector<std::string> approved{"Morning Routine", "-Dash"};
    struct Row {
        const char* params;
        const char* expected;
    };
    const Row rows[] = {
        {R"({"name":"Morning Routine"})", "{}"},
        {R"({"name":"-Dash"})", "{}"},
        {R"({"name":"morning routine"})", "action_not_allowlisted"},
        {R"({"name":["Morning Routine"]})", "action_not_allowlisted"},
        {"{}", "action_not_allowlisted"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.params);
        fakes.processes.started.clear();
        EXPECT_EQ(run(EverydayActions::runShortcut(platform, JSON::parse(row.params), approved)),
                  row.expected);
        if (std::string(row.expected) == "{}") {
            const std::string name = *JSON::parse(row.params).stringMember("name");
            EXPECT_EQ(fakes.processes.started, (std::vector<std::vector<std::string>>{
                                                   {"/usr/bin/shortcuts", "run", "--", name}}));
        } else {
            EXPECT_TRUE(fakes.processes.started.empty());
        }
    }
    fakes.processes.scripts = {{2, 1}};
    EXPECT_EQ(run(EverydayActions::runShortcut(
                  platform, JSON::parse(R"({"name":"Morning Routine"})"), approved)),
              "action_failed");
}

TEST_F(EverydayActionsTest, VolumeTakesAWholeNumberFromZeroToOneHundred) {
    struct Row {
        const char* params;
        const char* request; // nullptr: refused with invalid_params, nothing asked
    };
    const Row rows[] = {
        {R"({"level":50})", "volume 50"},      {R"({"level":-0.0})", "volume 0"},
        {R"({"level":100})", "volume 100"},    {R"({"level":50.5})", nullptr},
        {R"({"level":-1})", nullptr},          {R"({"level":101})", nullptr},
        {R"({"level":100.0000001})", nullptr}, {R"({"level":"50"})", nullptr},
        {R"({"level":true})", nullptr},        {"{}", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.params);
        fakes.audio.requests.clear();
        const std::string outcome =
            run(EverydayActions::setVolume(platform, JSON::parse(row.params)));
        if (row.request != nullptr) {
            EXPECT_EQ(outcome, "{}");
            EXPECT_EQ(fakes.audio.requests, std::vector<std::string>{row.request});
        } else {
            EXPECT_EQ(outcome, "invalid_params");
            EXPECT_TRUE(fakes.audio.requests.empty());
        }
    }
}

TEST_F(EverydayActionsTest, AFailedRequestIsToldByWhetherItWasSent) {
    using Command = EverydayActions::MediaCommand;
    fakes.players.players = {music};
    fakes.defaults.setBool("automation-explained-Music", true);
    struct Row {
        ControlResult answer;
        const char* expected;
    };
    const Row rows[] = {
        {ControlResult::Done, "{}"},
        {ControlResult::NotSent, "action_failed"},
        {ControlResult::Refused, "automation_failed_or_permission_required"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        fakes.audio.answer = row.answer;
        fakes.players.answer = row.answer;
        EXPECT_EQ(run(EverydayActions::setVolume(platform, JSON::parse(R"({"level":35})"))),
                  row.expected);
        EXPECT_EQ(run(EverydayActions::setMuted(platform, true)), row.expected);
        EXPECT_EQ(run(EverydayActions::setMuted(platform, false)), row.expected);
        EXPECT_EQ(run(EverydayActions::media(platform, Command::PlayPause)), row.expected);
    }
    EXPECT_EQ(fakes.audio.requests.size(), 9u);
    EXPECT_EQ(fakes.players.calls.size(), 3u);
}

TEST_F(EverydayActionsTest, PlaybackGoesToThePreferredRunningPlayer) {
    using Command = EverydayActions::MediaCommand;
    fakes.defaults.setBool("automation-explained-Music", true);
    fakes.defaults.setBool("automation-explained-Spotify", true);
    struct Row {
        std::vector<MediaPlayers::Player> running;
        Command command;
        const char* expected;
        const char* call;
    };
    const Row rows[] = {
        {{music, spotify}, Command::Next, "{}", "next com.apple.Music"},
        {{spotify}, Command::PlayPause, "{}", "playpause com.spotify.client"},
        {{music}, Command::Previous, "{}", "previous com.apple.Music"},
        {{}, Command::Next, "media_app_not_running", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        fakes.players.players = row.running;
        fakes.players.calls.clear();
        EXPECT_EQ(run(EverydayActions::media(platform, row.command)), row.expected);
        EXPECT_EQ(fakes.players.calls, row.call != nullptr ? std::vector<std::string>{row.call}
                                                           : std::vector<std::string>{});
    }
    EXPECT_TRUE(fakes.prompts.shown.empty());
}

TEST_F(EverydayActionsTest, DecliningTheExplanationRunsNothing) {
    fakes.players.players = {spotify};
    EXPECT_EQ(run(EverydayActions::media(platform, EverydayActions::MediaCommand::Next)),
              "permission_required");
    ASSERT_EQ(fakes.prompts.shown.size(), 1u);
    EXPECT_EQ(fakes.prompts.shown.front().message, "Allow Velto to control Spotify?");
    EXPECT_TRUE(fakes.players.calls.empty());

    // With no player running nobody is asked.
    fakes.players.players.clear();
    EXPECT_EQ(run(EverydayActions::media(platform, EverydayActions::MediaCommand::Next)),
              "media_app_not_running");
    EXPECT_EQ(fakes.prompts.shown.size(), 1u);
}
