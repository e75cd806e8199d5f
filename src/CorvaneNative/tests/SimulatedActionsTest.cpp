// Not yet part of CorvaneNativeTests: it needs that target linked with the simulated Mac
// (CorvaneSim) and CORVANE_DEFAULT_SCENARIO set to scenarios/default.json.
#include "CorvaneNative/ActionExecutor.h"

#include "CorvanePlatform/sim/SimModel.h"
#include "CorvanePlatform/sim/SimulatedMac.h"
#include "ExecutorFakes.h"
#include "support/VirtualClock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace corvane;
using namespace corvane::executor_test;

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
        auto probe = watch(executor->executeGuarded(action, JSON::parse(params), {}));
        // Application discovery runs on a worker thread and reports through the event loop.
        QElapsedTimer timer;
        timer.start();
        while (!probe->done && timer.elapsed() < 900) {
            clock.advance(10ms);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        return probe->outcome;
    }

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
