#include "sim/SimScenario.h"
#include "SimFixture.h"
#include "sim/SimScenarioError.h"

#include <QDir>

#include <gmock/gmock.h>

namespace corvane {
namespace {

using testing::HasSubstr;

// A scenario with four apps, so that a fault can be placed at apps[3].
std::string withApps(const std::string& fourth, const std::string& extra = "") {
    return R"({"apps": [
        {"path": "Applications/A.app", "bundle": {"CFBundleIdentifier": "com.example.a"}},
        {"path": "Applications/B.app", "bundle": {"CFBundleIdentifier": "com.example.b"}},
        {"path": "Applications/C.app", "bundle": {"CFBundleIdentifier": "com.example.c"},
         "running": [{"pid": 40}]},
        )" +
           fourth + "]" + extra + "}";
}

// apps[3] with one window carrying `members`.
std::string withWindow(const std::string& members) {
    return withApps(R"({"path": "Applications/D.app", "bundle": {}, "ui": {"windows": [
        {"id": "w", "role": "AXWindow", )" +
                    members + "}]}}");
}

struct Refusal {
    const char* name;
    std::string text;
    std::string message;
};

TEST(SimScenarioTest, RefusesWithTheOffendingPlace) {
    const std::vector<Refusal> rows = {
        {"not JSON", "{\"apps\": [", "scenario: not valid JSON"},
        {"not an object", "[]", "scenario: expected an object"},
        {"unknown top-level field", R"({"colour": "red"})", "colour: unknown field"},
        {"wrong type in a bundle",
         withApps(R"({"path": "Applications/D.app", "bundle": {"LSUIElement": 1}})"),
         "apps[3].bundle.LSUIElement: expected a boolean"},
        {"missing bundle", withApps(R"({"path": "Applications/D.app"})"),
         "apps[3].bundle: missing"},
        {"path escaping the root", withApps(R"({"path": "../D.app", "bundle": {}})"),
         "apps[3].path: expected a relative path"},
        {"path that is no bundle", withApps(R"({"path": "Applications/D", "bundle": {}})"),
         "apps[3].path: expected a relative path"},
        {"volume out of range", R"({"audio": {"volume": 101}})",
         "audio.volume: expected an integer from 0 to 100"},
        {"fractional volume", R"({"audio": {"volume": 50.5}})",
         "audio.volume: expected an integer"},
        {"map key with dots", R"({"players": {"com.apple.Music": {"state": "loud"}}})",
         R"(players["com.apple.Music"].state: expected one of "stopped", "paused", "playing")"},
        {"null is no platform value", R"({"console": {"session": {"kCGSSessionUserIDKey": null}}})",
         "console.session.kCGSSessionUserIDKey: null is not a platform value"},
        {"bad date notation", R"({"power": {"sources": [{"When": {"$date": "yesterday"}}]}})",
         "power.sources[0].When.$date: expected a wire time"},
        {"duplicate process id",
         withApps(R"({"path": "Applications/D.app", "bundle": {}, "running": [{"pid": 40}]})"),
         "apps[3].running[0].pid: process id already used at apps[2].running[0].pid"},
        {"front application not running",
         withApps(R"({"path": "Applications/D.app", "bundle": {}})", R"(, "frontmost": 41)"),
         "frontmost: no running application has process id 41"},
        {"duplicate element id",
         withApps(R"({"path": "Applications/D.app", "bundle": {}, "ui": {"windows": [
             {"id": "w", "role": "AXWindow"}, {"id": "w", "role": "AXWindow"}]}})"),
         R"(apps[3].ui.windows[1].id: duplicate element id "w")"},
        {"unknown element reference",
         withApps(R"({"path": "Applications/D.app", "bundle": {}, "ui": {"windows": [
             {"role": "AXWindow", "actions": [{"name": "AXPress", "does": [{"remove": "gone"}]}]}]}})"),
         R"(apps[3].ui.windows[0].actions[0].does[0].remove: unknown element id "gone")"},
        {"unknown effect",
         withApps(R"({"path": "Applications/D.app", "bundle": {}, "ui": {"windows": [
             {"role": "AXWindow", "actions": [{"name": "AXPress", "does": [{"explode": "self"}]}]}]}})"),
         "apps[3].ui.windows[0].actions[0].does[0].explode: unknown effect"},
        {"unknown element field",
         withApps(R"({"path": "Applications/D.app", "bundle": {}, "ui": {"windows": [
             {"role": "AXWindow", "children": [{"role": "AXButton", "titel": "OK"}]}]}})"),
         "apps[3].ui.windows[0].children[0].titel: unknown field"},
        {"bad frame", withApps(R"({"path": "Applications/D.app", "bundle": {}, "ui": {"windows": [
             {"role": "AXWindow", "frame": [0, 0, -5, 10]}]}})"),
         "apps[3].ui.windows[0].frame[2]: expected a number not below 0"},
        {"reaction not a list", withWindow(R"("on_read": {"raise": "self"})"),
         "apps[3].ui.windows[0].on_read: expected an array"},
        {"reaction naming no element", withWindow(R"("on_capture": [{"raise": "nowhere"}])"),
         R"(apps[3].ui.windows[0].on_capture[0].raise: unknown element id "nowhere")"},
        {"pinned not a boolean", withWindow(R"("pinned": 1)"),
         "apps[3].ui.windows[0].pinned: expected a boolean"},
        {"second closing effect bad",
         withWindow(R"("on_close": [{"close_tab": "self"}, {"pin": 3}])"),
         "apps[3].ui.windows[0].on_close[1].pin: expected an element id"},
        {"unknown menu command", withWindow(R"("enabled_for": "close_window")"),
         R"(apps[3].ui.windows[0].enabled_for: expected one of "close_tab", "close_other_tabs")"},
        {"both ways to enable", withWindow(R"("enabled_for": "close_tab", "enabled": true)"),
         R"(apps[3].ui.windows[0].enabled: not with "enabled_for")"},
    };
    for (const Refusal& row : rows) {
        try {
            SimScenario::parse(row.text);
            ADD_FAILURE() << row.name << ": accepted";
        } catch (const SimScenarioError& error) {
            EXPECT_THAT(error.what(), testing::StartsWith(row.message)) << row.name;
        }
    }
    EXPECT_NO_THROW(
        SimScenario::parse(withWindow(R"("layer": -20, "on_read": [{"raise": "self"}])")));
}

TEST(SimScenarioTest, CompletesDefaultsAndKeepsGenuineKinds) {
    const JSON scenario = SimScenario::parse(
        R"({"console": {"locked": 1, "session": {"kCGSSessionOnConsoleKey": true}}})");
    EXPECT_EQ(*scenario.find("audio")->find("volume")->number(), 50.0);
    EXPECT_EQ(*scenario.find("console")->find("uid")->number(), 501.0);
    EXPECT_TRUE(scenario.find("apps")->array()->empty());

    QTemporaryDir root;
    SimulatedMac mac(root.path());
    mac.load(R"({"console": {"locked": 1, "session": {"kCGSSessionOnConsoleKey": true,
                 "kCGSSessionUserIDKey": {"$real": 501}}}})");
    const std::optional<MacConsoleSession::RootProperties> properties =
        mac.macPorts().console.rootProperties();
    ASSERT_TRUE(properties && properties->consoleLocked);
    // A number 1 where the system might put a boolean stays a number.
    EXPECT_FALSE(properties->consoleLocked->boolean());
    EXPECT_EQ(properties->consoleLocked->integer(), 1);
    const std::optional<PlatformValue> session = mac.macPorts().console.sessionDictionary();
    ASSERT_TRUE(session);
    EXPECT_EQ(session->find("kCGSSessionOnConsoleKey")->boolean(), true);
    EXPECT_EQ(session->find("kCGSSessionUserIDKey")->kind(), PlatformValue::Kind::Real);
}

TEST_F(SimFixture, RefusedScenarioLeavesTheLoadedOneWhole) {
    const std::size_t running = platform().workspace.runningApplications().size();
    const std::string broken =
        R"({"apps": [{"path": "Applications/New.app", "bundle": {}, "running": [{"pid": 7}]}],
            "audio": {"volume": "loud"}})";
    EXPECT_THROW(mac->load(broken), SimScenarioError);
    EXPECT_EQ(platform().workspace.runningApplications().size(), running);
    EXPECT_EQ(platform().workspace.frontmostApplication()->bundleID, "com.apple.TextEdit");
    EXPECT_FALSE(QDir(root.path() + QStringLiteral("/Applications/New.app")).exists());
}

TEST(SimScenarioTest, DefaultScenarioLoadsAndWritesRealBundleFolders) {
    QTemporaryDir root;
    SimulatedMac mac(root.path());
    mac.loadFile(QStringLiteral(CORVANE_DEFAULT_SCENARIO));
    for (const char* folder :
         {"/Applications/Safari.app/Contents/Info.json",
          "/System/Applications/Music.app/Contents/Info.json",
          "/home/Applications/Notes Helper 2.app/Contents/Info.json",
          "/Applications/Clipkeeper.app/Contents/Library/LoginItems/Clipkeeper Helper.app/Contents/"
          "Info.json"}) {
        EXPECT_TRUE(QFile::exists(root.path() + QLatin1String(folder))) << folder;
    }
    EXPECT_TRUE(QDir(root.path() + QStringLiteral("/Users/Shared")).exists());
}

TEST_F(SimFixture, ReloadingDropsTheFoldersOfBundlesNoLongerThere) {
    const QString safari = root.path() + QStringLiteral("/Applications/Safari.app");
    ASSERT_TRUE(QDir(safari).exists());
    mac->load(R"({"apps": [{"path": "Applications/Other.app", "bundle": {}}]})");
    EXPECT_FALSE(QDir(safari).exists());
    EXPECT_TRUE(QDir(root.path() + QStringLiteral("/Applications/Other.app")).exists());
    EXPECT_TRUE(QDir(root.path() + QStringLiteral("/Applications")).exists());
    EXPECT_TRUE(platform().workspace.runningApplications().empty());
}

TEST(SimScenarioTest, DocumentedExampleLoads) {
    QFile file(QStringLiteral(CORVANE_SIMULATOR_DOC));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString doc = QString::fromUtf8(file.readAll());
    const qsizetype section = doc.indexOf(QStringLiteral("### Complete example"));
    const qsizetype start = doc.indexOf(QStringLiteral("```json\n"), section) + 8;
    const qsizetype end = doc.indexOf(QStringLiteral("```"), start);
    ASSERT_TRUE(section >= 0 && start > section && end > start);

    QTemporaryDir root;
    SimulatedMac mac(root.path());
    mac.load(doc.mid(start, end - start).toStdString());
    EXPECT_EQ(mac.platform().workspace.frontmostApplication()->bundleID, "com.apple.TextEdit");
}

} // namespace
} // namespace corvane
