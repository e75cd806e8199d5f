#include "actions/ActionExecutor.h"

#include "support/FakePlatform.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace corvane;
using namespace corvane::test;

namespace {

const JSON emptyObject = JSON(JSON::Object{});

// Stand-ins for the state report and the app inventory: they count their calls and can let the
// screen change while they run (after one tick of the clock, as a real reader would suspend).
struct Readers {
    FakePlatform* fakes = nullptr;
    int gathered = 0;
    std::vector<std::int64_t> offsets;
    std::optional<ScreenState> stateAfter;

    QCoro::Task<JSON> gather(Platform& platform) {
        ++gathered;
        co_await tick(platform.clock);
        co_return JSON(JSON::Object{{"screen_locked", JSON(false)}, {"report", JSON(true)}});
    }
    QCoro::Task<JSON> page(std::int64_t offset) {
        offsets.push_back(offset);
        co_await tick(fakes->clock);
        co_return JSON(JSON::Object{{"apps", JSON(JSON::Array{})}});
    }
    QCoro::Task<void> tick(Clock& clock) {
        co_await clock.sleep(10ms);
        if (stateAfter) {
            fakes->console.set(*stateAfter);
        }
    }
};

class ActionExecutorTest : public ::testing::Test {
protected:
    ActionExecutorTest() { readers.fakes = &fakes; }

    ActionExecutor::Handlers handlers() {
        ActionExecutor::Handlers h;
        h.gatherState = [this](Platform& p) {
            return readers.gather(p);
        };
        h.listApps = [this](std::int64_t offset) {
            return readers.page(offset);
        };
        return h;
    }

    // Runs one guarded command to its end on the virtual clock; its outcome as text.
    std::string guarded(const std::string& action, JSON params = JSON(JSON::Object{})) {
        auto probe = watch(executor.executeGuarded(action, std::move(params), {}));
        fakes.clock.advance(1s);
        return probe->outcome;
    }

    FakePlatform fakes;
    Readers readers;
    Platform platform = fakes.platform();
    ActionExecutor executor{platform, handlers()};
};

} // namespace

TEST_F(ActionExecutorTest, StopRunsWhateverTheLockState) {
    for (const ScreenState state : {ScreenState::Locked, ScreenState::Unknown}) {
        fakes.console.set(state);
        executor.desktop().enableDesktop();
        EXPECT_EQ(guarded("desktop_stop"), "{}");
        EXPECT_FALSE(executor.desktop().desktopWide());
    }
}

TEST_F(ActionExecutorTest, TheLockGuardAnswersBeforeAnythingRuns) {
    struct Row {
        ScreenState state;
        const char* action;
        const char* expected;
    };
    const Row rows[] = {
        {ScreenState::Locked, "get_state", R"({"screen_locked":true})"},
        {ScreenState::Locked, "open_app", "device_locked"},
        {ScreenState::Locked, "no_such_action", "device_locked"},
        {ScreenState::Inactive, "get_state", "lock_state_unknown"},
        {ScreenState::Unknown, "open_app", "lock_state_unknown"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.action);
        fakes.console.set(row.state);
        EXPECT_EQ(guarded(row.action), row.expected);
    }
    EXPECT_EQ(readers.gathered, 0);
    EXPECT_TRUE(readers.offsets.empty());
}

TEST_F(ActionExecutorTest, ContentsGatheredWhileTheScreenLockedAreWithheld) {
    struct Row {
        const char* action;
        std::optional<ScreenState> stateAfter;
        const char* expected;
    };
    const Row rows[] = {
        {"get_state", std::nullopt, R"({"report":true,"screen_locked":false})"},
        {"get_state", ScreenState::Locked, R"({"screen_locked":true})"},
        {"get_state", ScreenState::Unknown, "lock_state_unknown"},
        {"list_apps", std::nullopt, R"({"apps":[]})"},
        {"list_apps", ScreenState::Locked, "device_locked"},
        {"list_apps", ScreenState::Inactive, "lock_state_unknown"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.action);
        fakes.console.set(ScreenState::Unlocked);
        readers.stateAfter = row.stateAfter;
        EXPECT_EQ(guarded(row.action), row.expected);
    }
    EXPECT_EQ(readers.gathered, 3);
    EXPECT_EQ(readers.offsets.size(), 3u);
}

TEST_F(ActionExecutorTest, ActionNamesMatchExactly) {
    for (const char* name : {"Open_App", "OPEN_APP", "open_app ", "get_State", "", "format_disk"}) {
        EXPECT_EQ(guarded(name), "action_unsupported") << name;
    }
    // Desktop control is reached, and refuses without consent.
    for (const char* name : {"desktop_observe", "desktop_act"}) {
        EXPECT_EQ(guarded(name), "desktop_permission_required") << name;
    }
}

TEST_F(ActionExecutorTest, EveryLocalActionDispatches) {
    fakes.workspace.bundles["/Applications/Notes.app"] = {{"CFBundleIdentifier", "com.ex.notes"}};
    fakes.workspace.installed["com.ex.notes"] = "/Applications/Notes.app";
    fakes.players.players = {music};
    fakes.defaults.setBool("automation-explained-Music", true);
    fakes.power.outcome = PowerSources::SleepOutcome::Accepted;
    fakes.input.onSessionKey = [this](const MacInputEvents::KeyStroke&) {
        fakes.console.set(ScreenState::Locked);
    };
    struct Row {
        const char* action;
        const char* params;
        const char* expected;
    };
    const Row rows[] = {
        {"open_url", R"({"url":"https://example.com"})", "{}"},
        {"open_app", R"({"bundle_id":"com.ex.notes"})", R"({"already_open":false,"focused":true})"},
        {"quit_app", R"({"bundle_id":"com.ex.notes"})", "{}"},
        {"run_shortcut", R"({"name":"Approved"})", "{}"},
        {"set_volume", R"({"level":35})", "{}"},
        {"set_volume", R"({"level":35.5})", "invalid_params"},
        {"mute", "{}", "{}"},
        {"unmute", "{}", "{}"},
        {"media_play_pause", "{}", "{}"},
        {"media_next", "{}", "{}"},
        {"media_previous", "{}", "{}"},
        {"sleep_mac", "{}", "{}"},
        // No Control Center in this fake computer.
        {"toggle_do_not_disturb", R"({"enabled":true})", "focus_control_unavailable"},
        // Neither browser runs here: nothing to close. The parameters are checked first.
        {"close_browser_tabs", R"({"browser":"safari","keep_pinned":false})", "{}"},
        {"close_browser_tabs", R"({"browser":"chrome"})", "{}"},
        {"close_browser_tabs", R"({"browser":"Safari"})", "invalid_params"},
        {"lock_screen", "{}", R"({"already_locked":false})"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.action);
        auto probe =
            watch(executor.executeGuarded(row.action, JSON::parse(row.params), {"Approved"}));
        fakes.clock.advance(1s);
        EXPECT_EQ(probe->outcome, row.expected);
    }
    EXPECT_EQ(fakes.workspace.openedURLs, std::vector<std::string>{"https://example.com"});
    EXPECT_EQ(fakes.processes.started, (std::vector<std::vector<std::string>>{
                                           {"/usr/bin/shortcuts", "run", "--", "Approved"}}));
    EXPECT_EQ(fakes.audio.requests,
              (std::vector<std::string>{"volume 35", "muted true", "muted false"}));
    EXPECT_EQ(fakes.players.calls,
              (std::vector<std::string>{"playpause com.apple.Music", "next com.apple.Music",
                                        "previous com.apple.Music"}));
    EXPECT_EQ(fakes.power.sleepRequests, 1);
}

// A desktop that names browser cleanup as a gap refuses it instead of finding no browser to tidy.
TEST(ActionExecutorGapsTest, BrowserCleanupOnADesktopWithoutItIsRefused) {
    struct NoBrowserCleanup : ServiceGaps {
        std::vector<Gap> gaps() const override { return {{"close_browser_tabs", "not here"}}; }
    } gaps;
    FakePlatform fakes;
    Platform platform = fakes.platform();
    platform.gaps = &gaps;
    ActionExecutor executor{platform};
    for (const auto& [params, expected] : std::vector<std::pair<const char*, const char*>>{
             {R"({"browser":"chrome"})", "browser_menu_unavailable"},
             {R"({"browser":"safari","keep_pinned":false})", "pinned_tab_detection_unverified"},
             {R"({"browser":"firefox"})", "invalid_params"}}) {
        auto probe = watch(executor.executeGuarded("close_browser_tabs", JSON::parse(params), {}));
        fakes.clock.advance(1s);
        EXPECT_EQ(probe->outcome, expected) << params;
    }
}

TEST_F(ActionExecutorTest, ListAppsPassesTheWholeOffset) {
    guarded("list_apps", JSON::parse(R"({"offset":40.9})"));
    guarded("list_apps", JSON::parse(R"({"offset":"40"})"));
    EXPECT_EQ(readers.offsets, (std::vector<std::int64_t>{40, 0}));

    struct Row {
        const char* params;
        std::int64_t offset;
    };
    const Row rows[] = {
        {"{}", 0},
        {R"({"offset":-3.9})", -3},
        {R"({"offset":1e300})", 0},
        {R"({"offset":9223372036854775807})", 0}, // rounds to 2^63 as a double
        {R"({"offset":-9223372036854775808})", INT64_MIN},
        {R"({"offset":9007199254740993})", 9007199254740992},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ActionExecutor::listAppsOffset(JSON::parse(row.params)), row.offset)
            << row.params;
    }
}

TEST(ActionExecutorParams, BrowserCleanupAndFocus) {
    struct Row {
        const char* params;
        const char* expected;
    };
    const Row cleanup[] = {
        {R"({"browser":"chrome"})", "chrome keep"},
        {R"({"browser":"safari","keep_pinned":false})", "safari close"},
        {R"({"browser":"safari","keep_pinned":true})", "safari keep"},
        {R"({"browser":"safari","keep_pinned":"false"})", "safari keep"},
        {R"({"browser":"Chrome"})", "invalid_params"},
        {R"({"browser":1})", "invalid_params"},
        {"{}", "invalid_params"},
    };
    for (const Row& row : cleanup) {
        std::string verdict;
        try {
            const auto c = ActionExecutor::browserCleanup(JSON::parse(row.params));
            verdict =
                std::string(c.browser == ActionExecutor::Browser::Chrome ? "chrome" : "safari") +
                (c.keepPinned ? " keep" : " close");
        } catch (const ContractError& e) {
            verdict = e.code();
        }
        EXPECT_EQ(verdict, row.expected) << row.params;
    }
    const Row focus[] = {
        {R"({"enabled":true})", "on"},
        {R"({"enabled":false})", "off"},
        {R"({"enabled":1})", "off"},
        {"{}", "off"},
    };
    for (const Row& row : focus) {
        EXPECT_EQ(ActionExecutor::focusEnabled(JSON::parse(row.params)) ? "on" : "off",
                  std::string(row.expected))
            << row.params;
    }
}

TEST_F(ActionExecutorTest, ToolRunnerCountsItsWaits) {
    using Script = FakeProcessRunner::Script;
    struct Row {
        Script script;
        const char* expected;
        std::chrono::milliseconds elapsed;
        int terminations;
    };
    const Row rows[] = {
        {{0, 0}, "ok", 0ms, 0},
        {{0, 1}, "action_failed", 0ms, 0},
        {{3, 0}, "ok", 300ms, 0},
        // Ending on the poll after the 120th wait still counts.
        {{120, 0}, "ok", 12s, 0},
        {{121, 0}, "action_timeout_outcome_unknown", 12s, 1},
        {{-1, 0}, "action_timeout_outcome_unknown", 12s, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.script.pollsBeforeExit);
        fakes.processes.scripts = {row.script};
        fakes.processes.terminations = 0;
        const auto start = fakes.clock.monotonicNow();
        auto probe = watch(executor.process("/usr/bin/shortcuts", {"run", "--", "-x"}));
        std::chrono::milliseconds elapsed = 0ms;
        while (!probe->done && elapsed < 20s) {
            fakes.clock.advance(100ms);
            elapsed += 100ms;
        }
        EXPECT_EQ(probe->outcome, row.expected);
        EXPECT_EQ(fakes.processes.terminations, row.terminations);
        EXPECT_EQ(fakes.processes.started.back(),
                  (std::vector<std::string>{"/usr/bin/shortcuts", "run", "--", "-x"}));
        if (row.elapsed > 0ms) {
            EXPECT_EQ(fakes.clock.monotonicNow() - start, row.elapsed);
        }
    }
    fakes.processes.failToStart = true;
    EXPECT_EQ(watch(executor.process("/missing", {}))->outcome, "start_error");
}

// Real tools: their ends reach the executor through the event loop of tests/main.cpp.
class ActionExecutorProcessTest : public ActionExecutorTest {
protected:
    WatchedProcessRunner real;
    Platform realPlatform = fakes.platform(&real);
    ActionExecutor realExecutor{realPlatform, handlers()};
};

TEST_F(ActionExecutorProcessTest, RealToolsExitOrAreEndedAtTheLimit) {
    // A tool that fails: real time lets it end, and the next virtual wait's poll sees it. The
    // 120 waits take six real seconds, for a loaded machine.
    auto failing = watch(realExecutor.process("/bin/sh", {"-c", "exit 1"}));
    QElapsedTimer timer;
    timer.start();
    while (!failing->done && timer.elapsed() < 20000) {
        QThread::msleep(50);
        fakes.clock.advance(100ms);
    }
    EXPECT_EQ(failing->outcome, "action_failed");

    // A tool that would run for 30 s is ended after 120 virtual waits, in less real time.
    timer.restart();
    const auto start = fakes.clock.monotonicNow();
    auto slow = watch(realExecutor.process("/bin/sleep", {"30"}));
    fakes.clock.advance(11'900ms);
    EXPECT_FALSE(slow->done);
    fakes.clock.advance(100ms);
    EXPECT_EQ(slow->outcome, "action_timeout_outcome_unknown");
    EXPECT_EQ(fakes.clock.monotonicNow() - start, 12s);
    EXPECT_EQ(*real.terminations, 1);
    EXPECT_LT(timer.elapsed(), 20000);

    auto missing = watch(realExecutor.process("/nonexistent/tool", {}));
    EXPECT_EQ(missing->outcome, "start_error");
}

TEST_F(ActionExecutorTest, AutomationIsExplainedUntilThePersonContinues) {
    using Answer = UserPrompts::Answer;
    fakes.prompts.answers = {Answer::Second, Answer::First};
    EXPECT_EQ(watch(executor.explainAutomation("Music"))->outcome, "permission_required");
    EXPECT_EQ(fakes.defaults.boolValue("automation-explained-Music"), std::nullopt);
    EXPECT_EQ(watch(executor.explainAutomation("Music"))->outcome, "ok");
    EXPECT_EQ(fakes.defaults.boolValue("automation-explained-Music"), true);
    EXPECT_EQ(watch(executor.explainAutomation("Music"))->outcome, "ok");
    ASSERT_EQ(fakes.prompts.shown.size(), 2u);
    const FakePrompts::Alert& alert = fakes.prompts.shown.front();
    EXPECT_EQ(alert.message, "Allow Velto to control Music?");
    EXPECT_EQ(alert.firstButton, "Continue"); // the first answer is the one that continues

    // Each application is explained on its own; only a stored true counts.
    fakes.defaults.setInteger("automation-explained-Spotify", 1);
    EXPECT_EQ(watch(executor.explainAutomation("Spotify"))->outcome, "permission_required");
    EXPECT_EQ(fakes.prompts.shown.back().message, "Allow Velto to control Spotify?");
    EXPECT_EQ(fakes.prompts.shown.size(), 3u);
}

TEST(ActionExecutorInventory, NamesAndPagesComeFromTheExecutorsOwnInventory) {
    // The inventory lists only bundles that exist on disk.
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const std::string bundle = root.path().toStdString() + "/Applications/Notes.app";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(bundle)));
    FakePlatform fakes;
    fakes.workspace.bundles[bundle] = {{"CFBundleIdentifier", "com.ex.notes"},
                                       {"CFBundleName", "Notes"}};
    RunningApplication notes = app(40, "com.ex.notes");
    notes.bundlePath = bundle;
    fakes.workspace.running = {notes};
    Platform platform = fakes.platform();
    ActionExecutor executor(platform);

    // Discovery runs on a worker thread; its result comes back through the event loop.
    const auto finish = [](const std::shared_ptr<Probe>& probe) {
        QElapsedTimer timer;
        timer.start();
        while (!probe->done && timer.elapsed() < 20000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return probe->outcome;
    };
    EXPECT_EQ(
        finish(watch(executor.executeGuarded("list_apps", emptyObject, {}))),
        R"({"apps":[{"bundle_id":"com.ex.notes","last_opened":null,"name":"Notes","running":true}],"next_offset":null})");
    EXPECT_EQ(finish(watch(
                  executor.executeGuarded("quit_app", JSON::parse(R"({"app_name":"NOTES"})"), {}))),
              "{}");
    EXPECT_EQ(fakes.workspace.quitRequests, std::vector<std::int32_t>{40});
    EXPECT_EQ(finish(watch(
                  executor.executeGuarded("open_app", JSON::parse(R"({"app_name":"Mail"})"), {}))),
              "app_not_found_or_ambiguous");
}
