// The actions against the simulated Mac of the default scenario, on a virtual clock.
#include "actions/ActionExecutor.h"

#include "DesktopFixture.h"

#include <QFile>

#include <algorithm>

using namespace std::chrono_literals;
using namespace corvane;
using namespace corvane::desktop_test;

namespace {

class SimulatedActionsTest : public DesktopFixture {
protected:
    void SetUp() override {
        QFile file(QStringLiteral(CORVANE_DEFAULT_SCENARIO));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        load(file.readAll().toStdString());
        executor = std::make_unique<ActionExecutor>(*platform);
    }

    std::string run(const std::string& action, const char* params = "{}") {
        return runTogether({{action, params}}).front();
    }

    // Starts the actions in this order without waiting for any, then runs them all to their end.
    std::vector<std::string>
    runTogether(const std::vector<std::pair<std::string, const char*>>& actions) {
        std::vector<std::shared_ptr<Probe>> probes;
        for (const auto& [action, params] : actions) {
            probes.push_back(watch(executor->executeGuarded(action, JSON::parse(params), {})));
        }
        std::vector<std::string> outcomes;
        for (const auto& probe : probes) {
            finish(probe);
            outcomes.push_back(probe->outcome);
        }
        return outcomes;
    }

    bool running(const std::string& bundleID) { return !mac->model().pidsOf(bundleID).empty(); }

    int eventsOf(const std::string& kind) { return static_cast<int>(events(kind).size()); }

    std::optional<PlatformValue> dndValue() { return attribute("cc.dnd", "AXValue"); }

    std::unique_ptr<ActionExecutor> executor;
};

} // namespace

TEST_F(SimulatedActionsTest, DoNotDisturbThroughControlCenter) {
    EXPECT_EQ(run("toggle_do_not_disturb", R"({"enabled":true})"), "{}");
    EXPECT_EQ(eventsOf("key_to_session"), 1); // Globe/Fn-C opened the hidden panel
    EXPECT_EQ(dndValue(), PlatformValue(1));
    const int actions = eventsOf("ax_action");
    EXPECT_EQ(run("toggle_do_not_disturb", R"({"enabled":true})"), "{}");
    EXPECT_EQ(eventsOf("ax_action"), actions); // already on: nothing pressed
    EXPECT_EQ(run("toggle_do_not_disturb", R"({"enabled":false})"), "{}");
    EXPECT_EQ(dndValue(), PlatformValue(0));
}

TEST_F(SimulatedActionsTest, LockThenEverythingElseWaits) {
    EXPECT_EQ(run("lock_screen"), R"({"already_locked":false})");
    EXPECT_TRUE(mac->model().screenLocked());
    EXPECT_EQ(run("lock_screen"), R"({"already_locked":true})");
    EXPECT_EQ(run("set_volume", R"({"level":35})"), "device_locked");
}

TEST_F(SimulatedActionsTest, AppsAudioAndPlayback) {
    EXPECT_EQ(run("quit_app", R"({"bundle_id":"com.apple.TextEdit"})"),
              "quit_pending_user_attention");
    EXPECT_EQ(run("open_app", R"({"app_name":"calculator"})"),
              R"({"already_open":false,"focused":true})");
    EXPECT_EQ(run("open_app", R"({"bundle_id":"app.clipkeeper.menubar"})"), "protected_app");
    EXPECT_EQ(run("set_volume", R"({"level":35})"), "{}");
    EXPECT_EQ(run("media_next"), "{}");
    EXPECT_EQ(eventsOf("alert"), 1);
    EXPECT_EQ(run("media_previous"), "{}");
    EXPECT_EQ(eventsOf("alert"), 1);
    EXPECT_EQ(run("sleep_mac"), "{}");
    EXPECT_EQ(eventsOf("sleep_request"), 1);
}

// Actions that change the computer take turns in arrival order: two Focus changes both end
// confirmed with the later one's state, and a quit sent after an open quits what was opened.
TEST_F(SimulatedActionsTest, ChangesRunOneAtATimeInArrivalOrder) {
    EXPECT_EQ(runTogether({{"toggle_do_not_disturb", R"({"enabled":true})"},
                           {"toggle_do_not_disturb", R"({"enabled":false})"}}),
              (std::vector<std::string>{"{}", "{}"}));
    EXPECT_EQ(dndValue(), PlatformValue(0));

    ASSERT_FALSE(running("com.apple.calculator"));
    EXPECT_EQ(runTogether({{"open_app", R"({"app_name":"calculator"})"},
                           {"quit_app", R"({"bundle_id":"com.apple.calculator"})"}}),
              (std::vector<std::string>{R"({"already_open":false,"focused":true})", "{}"}));
    EXPECT_FALSE(running("com.apple.calculator"));

    // A read does not wait behind a change.
    auto slow = watch(executor->executeGuarded(
        "quit_app", JSON::parse(R"({"bundle_id":"com.apple.TextEdit"})"), {}));
    auto state = watch(executor->executeGuarded("get_state", JSON::parse("{}"), {}));
    EXPECT_FALSE(slow->done);
    for (int i = 0; i < 500 && !state->done; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    EXPECT_TRUE(state->done);
    EXPECT_FALSE(slow->done);
    EXPECT_EQ(run("media_next"), "{}"); // queued behind the quit, runs once it gives up
    EXPECT_EQ(slow->outcome, "quit_pending_user_attention");
}

// "desktop_observe" changes the computer too (activation, input), so it takes its turn.
TEST_F(SimulatedActionsTest, ObservationsWaitTheirTurn) {
    const auto quit = watch(executor->executeGuarded(
        "quit_app", JSON::parse(R"({"bundle_id":"com.apple.TextEdit"})"), {}));
    const auto observation =
        watch(executor->executeGuarded("desktop_observe", JSON::parse("{}"), {}));
    EXPECT_FALSE(observation->done);
    EXPECT_FALSE(executor->desktop().observing());
    finish(quit);
    finish(observation);
    EXPECT_EQ(quit->outcome, "quit_pending_user_attention");
    // TextEdit shows its save sheet meanwhile; the sheet is part of the window observed.
    EXPECT_EQ(observation->outcome.front(), '{') << observation->outcome;
    EXPECT_NE(observation->outcome.find("Don\u2019t Save"), std::string::npos);
}
