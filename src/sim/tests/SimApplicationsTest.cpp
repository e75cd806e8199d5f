#include "sim/SimApplications.h"
#include "core/SystemClock.h"
#include "sim/SimEventRecord.h"
#include "sim/SimProcessUI.h"
#include "sim/SimScenario.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

namespace corvane {
namespace {

// The user-interface side as the applications see it: every call logged; a quit reaction may
// end the application itself, as a sheet's "Don't Save" does.
class RecordingUI final : public SimProcessUI {
public:
    void instanceStarted(std::int32_t pid, const JSON* ui) override {
        log.push_back("start " + std::to_string(pid) + (ui != nullptr ? " with ui" : ""));
    }
    void instanceEnded(std::int32_t pid) override { log.push_back("end " + std::to_string(pid)); }
    void showQuitEffects(const JSON&) override {
        log.push_back("quit effects");
        if (reaction) {
            reaction();
        }
    }

    std::vector<std::string> log;
    std::function<void()> reaction;
};

// An accessory agent first, then a regular application, then the front one under test (pid 20).
std::string scenarioQuitting(const std::string& behaviour) {
    return R"({"apps": [
        {"path": "Applications/Agent.app", "bundle": {"LSUIElement": true}, "running": [{"pid": 5}]},
        {"path": "Applications/Next.app", "bundle": {}, "running": [{"pid": 10}]},
        {"path": "Applications/Doc.app", "bundle": {}, "quit": ")" +
           behaviour + R"(", "running": [{"pid": 20}], "ui": {"windows": []}}],
        "frontmost": 20})";
}

TEST(SimApplicationsTest, QuitRequestsTellTheInterfaceOnceAndHandTheFrontOn) {
    struct Row {
        const char* behaviour;
        bool reactionEndsIt;
        bool accepted;
        std::vector<std::string> log;
        std::int32_t front;
    };
    const std::vector<Row> rows = {
        {"quits", false, true, {"quit effects", "end 20"}, 10},
        {"quits", true, true, {"quit effects", "end 20"}, 10},
        {"stays_open", false, true, {"quit effects"}, 20},
        {"stays_open", true, true, {"quit effects", "end 20"}, 10},
        {"refuses", true, false, {}, 20},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.behaviour) + (row.reactionEndsIt ? ", reaction ends it" : ""));
        QTemporaryDir root;
        SystemClock clock;
        SimEventRecord record(clock);
        RecordingUI ui;
        SimApplications apps(root.path(), clock, record, ui);
        const JSON scenario = SimScenario::parse(scenarioQuitting(row.behaviour));
        apps.load(apps.prepare(*scenario.find("apps")), *scenario.find("frontmost"));
        EXPECT_EQ(ui.log, (std::vector<std::string>{"start 5", "start 10", "start 20 with ui"}));

        ui.log.clear();
        if (row.reactionEndsIt) {
            ui.reaction = [&apps] {
                apps.forceQuit(20);
            };
        }
        EXPECT_EQ(apps.requestQuit(20), row.accepted);
        EXPECT_EQ(ui.log, row.log);
        EXPECT_EQ(apps.frontmost(), row.front);
    }
}

} // namespace
} // namespace corvane
