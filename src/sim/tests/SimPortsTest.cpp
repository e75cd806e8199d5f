#include "SimFixture.h"
#include "sim/SimProcessRunner.h"
#include "sim/SimScreenCapture.h"
#include "sim/SimScripting.h"

#include <QDir>
#include <qcoro/qcorotask.h>

#include <gmock/gmock.h>

namespace corvane {
namespace {

using testing::ElementsAre;

TEST_F(SimFixture, WorkspaceAnswersFromTheScenario) {
    Workspace& workspace = platform().workspace;
    const std::vector<RunningApplication> apps = workspace.runningApplications();
    ASSERT_FALSE(apps.empty());
    const auto byBundle = [&apps](const std::string& bundleID) {
        const auto found = std::find_if(apps.begin(), apps.end(),
                                        [&](const auto& app) { return app.bundleID == bundleID; });
        return found != apps.end() ? &*found : nullptr;
    };
    EXPECT_EQ(apps.front().localizedName, "Finder"); // scenario order is the platform's order

    const RunningApplication* agent = byBundle("app.clipkeeper.menubar");
    const RunningApplication* helper = byBundle("app.clipkeeper.helper");
    const RunningApplication* chrome = byBundle("com.google.Chrome");
    ASSERT_TRUE(agent && helper && chrome);
    EXPECT_EQ(agent->activationPolicy, RunningApplication::ActivationPolicy::Accessory);
    EXPECT_EQ(helper->activationPolicy, RunningApplication::ActivationPolicy::Prohibited);
    EXPECT_EQ(chrome->localizedName, "Google Chrome"); // the display name wins
    EXPECT_EQ(WireTime::text(*chrome->launchDate), "2026-12-06T09:12:00.000Z");

    const std::optional<RunningApplication> front = workspace.frontmostApplication();
    ASSERT_TRUE(front);
    EXPECT_EQ(front->pid, 845);
    EXPECT_TRUE(front->active);
    EXPECT_FALSE(chrome->active);

    const std::optional<std::string> path = workspace.applicationPath("com.apple.Safari");
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, (root.path() + QStringLiteral("/Applications/Safari.app")).toStdString());
    EXPECT_FALSE(workspace.applicationPath("com.example.missing"));
    EXPECT_EQ(workspace.hostName(), "Robins-MacBook-Air");
    EXPECT_EQ(workspace.osVersion().minor, 5);
}

TEST_F(SimFixture, BundleInfoIsReadFromTheFolder) {
    MacBundles& workspace = macPorts().bundles;
    const std::string agent =
        (root.path() + QStringLiteral("/Applications/Clipkeeper.app")).toStdString();
    const std::optional<PlatformValue::Dictionary> info = workspace.bundleInfo(agent);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->at("LSUIElement").boolean(), true);
    EXPECT_EQ(*info->at("CFBundleIdentifier").string(), "app.clipkeeper.menubar");

    // The folder is the truth: a changed file is what the next read sees.
    QFile file(QString::fromStdString(agent) + QStringLiteral("/Contents/Info.json"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(R"({"CFBundleIdentifier": "x.y", "LSUIElement": 1})");
    file.close();
    EXPECT_EQ(workspace.bundleInfo(agent)->at("LSUIElement").integer(), 1);
    EXPECT_FALSE(workspace.bundleInfo(root.path().toStdString() + "/Applications/None.app"));
}

TEST_F(SimFixture, CatalogListsIndexedBundlesAndRootsExist) {
    AppCatalog& catalog = platform().appCatalog;
    const std::optional<std::vector<std::string>> indexed = catalog.indexedApplications();
    ASSERT_TRUE(indexed);
    const std::string safari =
        (root.path() + QStringLiteral("/Applications/Safari.app")).toStdString();
    const auto listed = [&](const char* path) {
        return std::find(indexed->begin(), indexed->end(), root.path().toStdString() + path) !=
               indexed->end();
    };
    EXPECT_TRUE(listed("/Applications/Safari.app"));
    EXPECT_FALSE(listed("/System/Library/CoreServices/ControlCenter.app")); // "indexed": false
    EXPECT_EQ(WireTime::text(*catalog.lastUsedDate(safari)), "2026-12-06T19:58:00.000Z");
    for (const std::string& folder : catalog.directoryRoots()) {
        EXPECT_TRUE(QDir(QString::fromStdString(folder)).exists()) << folder;
    }

    model().put({"catalog", "index_available"}, JSON(false));
    EXPECT_FALSE(catalog.indexedApplications());
}

TEST_F(SimFixture, DeviceReadersAnswerFromTheModel) {
    const std::optional<PlatformValue> sources = macPorts().power.powerSources();
    ASSERT_TRUE(sources && sources->array() && sources->array()->size() == 1);
    const PlatformValue& battery = sources->array()->front();
    EXPECT_EQ(battery.find("Current Capacity")->integer(), 78);
    EXPECT_EQ(battery.find("Is Charging")->boolean(), false);

    // Host readers follow the model as it changes.
    HostStats& host = platform().host;
    EXPECT_TRUE(host.memory());
    EXPECT_EQ(host.thermalState(), HostStats::ThermalState::Nominal);
    model().put({"host", "memory"}, JSON(nullptr));
    model().put({"host", "thermal_state"}, JSON("serious"));
    model().put({"power", "sources"}, JSON(nullptr));
    EXPECT_FALSE(host.memory());
    EXPECT_EQ(host.thermalState(), HostStats::ThermalState::Serious);
    EXPECT_FALSE(macPorts().power.powerSources());
}

TEST_F(SimFixture, ScriptsAreAnsweredFromAudioAndPlayers) {
    using Values = PlatformValue::Array;
    const MacScripting::Result done = Values{};
    const MacScripting::Result failed = MacScripting::Failure::ExecutionFailed;
    const std::string volume = "set settings to get volume settings\n"
                               "return {output volume of settings, output muted of settings}";
    const std::string nowPlaying =
        "with timeout of 1 seconds\n"
        "    tell application id \"com.apple.Music\"\n"
        "        if player state is stopped then return {}\n"
        "        return {name of current track, artist of current track, player state is "
        "playing}\n"
        "    end tell\n"
        "end timeout";
    const std::string music = "tell application id \"com.apple.Music\" to ";
    struct Step {
        std::string script;
        MacScripting::Result answer;
    };
    const std::vector<Step> steps = {
        {volume, Values{PlatformValue(35), PlatformValue(false)}},
        {"set volume output volume 80", done},
        {"set volume with output muted", done},
        {volume, Values{PlatformValue(80), PlatformValue(true)}},
        {nowPlaying, Values{PlatformValue("Clair de Lune"), PlatformValue("Claude Debussy"),
                            PlatformValue(true)}},
        {music + "next track", done},
        {music + "playpause", done},
        {nowPlaying, Values{PlatformValue("Gymnopédie No. 1"), PlatformValue("Erik Satie"),
                            PlatformValue(false)}},
        {"display dialog \"hi\"", failed},
        {volume + " ", failed}, // a one-character change is another script
    };
    SimScripting scripting(model());
    for (const Step& step : steps) {
        EXPECT_TRUE(scripting.run(step.script) == step.answer) << step.script;
    }

    EXPECT_EQ(scripting.automationPermission("com.apple.Music"), MacScripting::Permission::Granted);
    EXPECT_EQ(scripting.automationPermission("com.spotify.client"),
              MacScripting::Permission::NotDetermined);
    model().put({"automation", "com.apple.Music"}, JSON("denied"));
    EXPECT_TRUE(scripting.run(nowPlaying) == failed);
}

TEST_F(SimFixture, KeychainLoginItemsAndPrompts) {
    Keychain& keychain = platform().keychain;
    const Keychain::Query query{"local.corvane.agent", "device-token", false};
    std::string secret;
    EXPECT_EQ(keychain.copy(query, secret), Keychain::Status::NotFound);
    EXPECT_EQ(keychain.update(query, "a"), Keychain::Status::NotFound);
    EXPECT_EQ(keychain.add(query, "s3cret"), Keychain::Status::Success);
    EXPECT_EQ(keychain.add(query, "again"), Keychain::Status::Other);
    EXPECT_EQ(keychain.copy(query, secret), Keychain::Status::Success);
    EXPECT_EQ(secret, "s3cret");
    model().put({"keychain", "interaction_not_allowed"}, JSON(true));
    EXPECT_EQ(keychain.copy(query, secret), Keychain::Status::InteractionNotAllowed);
    EXPECT_EQ(keychain.copy({query.service, query.account, true}, secret),
              Keychain::Status::Success);
    EXPECT_EQ(keychain.remove({query.service, query.account, true}), Keychain::Status::Success);
    EXPECT_EQ(keychain.remove({query.service, query.account, true}), Keychain::Status::NotFound);
    for (const JSON& event : model().events()) {
        EXPECT_EQ(event.data().find("s3cret"), std::string::npos) << "secret in the record";
    }

    LoginItems& login = platform().loginItems;
    EXPECT_EQ(login.status(), LoginItems::Status::NotRegistered);
    EXPECT_TRUE(login.registerItem());
    EXPECT_EQ(login.status(), LoginItems::Status::Enabled);
    model().put({"login_item", "refuse_changes"}, JSON(true));
    EXPECT_FALSE(login.unregisterItem());
    EXPECT_EQ(login.status(), LoginItems::Status::Enabled);

    UserPrompts& prompts = platform().prompts;
    model().put({"prompts", "answers"}, JSON(JSON::Array{JSON("second")}));
    EXPECT_EQ(QCoro::waitFor(prompts.alert("Quit?", "Really", "Quit", "Cancel")),
              UserPrompts::Answer::Second);
    EXPECT_EQ(QCoro::waitFor(prompts.alert("Quit?", "Really", "Quit", "Cancel")),
              UserPrompts::Answer::First);
    ASSERT_EQ(eventsOfKind("alert").size(), 2u);
    EXPECT_EQ(*eventsOfKind("alert")[0].stringMember("answer"), "second");
    prompts.setPasteboardText("ABCD-1234");
    EXPECT_EQ(model().text({"pasteboard"}), "ABCD-1234");
}

TEST_F(SimFixture, CaptureListsWindowsAndPaintsThem) {
    ScreenCapture& capture = platform().screenCapture;
    auto windows = QCoro::waitFor(capture.shareableWindows());
    ASSERT_TRUE(std::holds_alternative<std::vector<ScreenCapture::Window>>(windows));
    const auto& list = std::get<std::vector<ScreenCapture::Window>>(windows);
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.front().ownerPid, 845); // front application first
    EXPECT_EQ(list.front().title, "Untitled");
    EXPECT_EQ(list.front().bounds, QRectF(300, 200, 700, 500));
    for (const ScreenCapture::Window& window : list) {
        EXPECT_NE(window.title, "Control Center") << "a hidden window is not on screen";
    }

    const std::optional<QImage> image = QCoro::waitFor(capture.capture(list.front().id, 350, 250));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size(), QSize(350, 250));
    EXPECT_EQ(QColor(image->pixel(175, 200)), QColor(QStringLiteral("#fffdf5")));
    EXPECT_FALSE(QCoro::waitFor(capture.capture(999999, 10, 10)));

    model().put({"screen_capture", "declined"}, JSON(true));
    windows = QCoro::waitFor(capture.shareableWindows());
    ASSERT_TRUE(std::holds_alternative<ScreenCapture::Error>(windows));
    EXPECT_EQ(std::get<ScreenCapture::Error>(windows).code, -3801);
}

// The child's end wakes the event loop (QProcess watches it there).
std::optional<int> waitForExit(ProcessRunner::Process& process) {
    std::optional<int> status;
    waitUntil([&] { return (status = process.exitStatus()).has_value(); });
    return status;
}

TEST_F(SimFixture, ShortcutsToolRunsAsARealProcess) {
    ProcessRunner& runner = platform().processes;
    struct Row {
        std::string name;
        std::optional<int> status;
    };
    // Names with quotes and a leading dash must reach the script as one argument.
    model().put({"shortcuts", "It's -- \"odd\" $HOME"},
                JSON(JSON::Object{{"exit_status", JSON(3)}, {"duration_ms", JSON(0)}}));
    const std::vector<Row> rows = {{"Start Focus Timer", 0},
                                   {"Backup Photos", 1},
                                   {"It's -- \"odd\" $HOME", 3},
                                   {"start focus timer", 1}};
    for (const Row& row : rows) {
        auto process = runner.start(SimProcessRunner::shortcutsTool, {"run", "--", row.name});
        EXPECT_EQ(waitForExit(*process), row.status) << row.name;
    }

    auto slow = runner.start(SimProcessRunner::shortcutsTool, {"run", "--", "Slow Report"});
    EXPECT_FALSE(slow->exitStatus());
    slow->terminate();
    const std::optional<int> ended = waitForExit(*slow);
    ASSERT_TRUE(ended);
    EXPECT_NE(*ended, 0);

    EXPECT_THROW(runner.start("/nonexistent/tool", {}), ProcessStartError);
}

} // namespace
} // namespace corvane
