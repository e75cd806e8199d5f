// The actions against the simulated Mac of the default scenario.
#include "CorvaneNative/ActionExecutor.h"

#include "CorvanePlatform/sim/SimModel.h"
#include "CorvanePlatform/sim/SimulatedMac.h"
#include "support/FakePlatform.h"
#include "support/VirtualClock.h"

#include <QCoreApplication>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace corvane;
using namespace corvane::test;

namespace {

// The actions run against the simulated Mac of the default scenario, on a virtual clock.
class SimulatedActionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        QFile file(QStringLiteral(CORVANE_DEFAULT_SCENARIO));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        mac = std::make_unique<SimulatedMac>(root.path(), SimulatedMac::Options{&clock, &defaults});
        mac->load(file.readAll().toStdString());
        platform = std::make_unique<Platform>(mac->platform());
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
        const auto done = [&probes] {
            return std::all_of(probes.begin(), probes.end(), [](const auto& p) { return p->done; });
        };
        // Application discovery runs on a worker thread and reports through the event loop.
        QElapsedTimer timer;
        timer.start();
        while (!done() && timer.elapsed() < 20000) {
            clock.advance(10ms);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        std::vector<std::string> outcomes;
        for (const auto& probe : probes) {
            outcomes.push_back(probe->outcome);
        }
        return outcomes;
    }

    bool running(const std::string& bundleID) { return !mac->model().pidsOf(bundleID).empty(); }

    int eventsOf(const std::string& kind) {
        const std::vector<JSON> events = mac->model().events();
        return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const JSON& e) {
            return *e.stringMember("kind") == kind;
        }));
    }

    std::optional<PlatformValue> dndValue() {
        return platform->accessibility.attribute(*mac->model().named("cc.dnd"), "AXValue");
    }

    QTemporaryDir root;
    VirtualClock clock;
    MemoryDefaults defaults;
    std::unique_ptr<SimulatedMac> mac;
    std::unique_ptr<Platform> platform;
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
