#include "actions/AppInventory.h"

#include "core/ContractError.h"
#include "mac/ApplicationBundlesOnMac.h"
#include "sim/SimValueCodec.h"
#include "support/FakePlatform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

namespace corvane {
namespace {

using namespace std::chrono_literals;
using Entry = AppInventory::Entry;
using Instant = WireTime::Instant;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace fs = std::filesystem;

// Bundles whose information dictionaries the test wrote (their folders exist on disk for the
// walk). Tests change them only between discoveries.
class FolderWorkspace final : public Workspace, public MacBundles {
public:
    std::vector<RunningApplication> running;
    bool runningFails = false;
    std::string unreadable; // reading this bundle throws
    std::map<std::string, PlatformValue::Dictionary> infos;

    std::vector<RunningApplication> runningApplications() const override {
        if (runningFails) {
            throw std::runtime_error("workspace unavailable");
        }
        return running;
    }
    std::optional<RunningApplication> frontmostApplication() const override { return {}; }
    std::optional<std::string> applicationPath(const std::string&) const override { return {}; }
    std::optional<PlatformValue::Dictionary> bundleInfo(const std::string& path) const override {
        if (path == unreadable) {
            throw std::runtime_error("bundle unreadable");
        }
        const auto it = infos.find(path);
        return it == infos.end() ? std::nullopt : std::optional(it->second);
    }
    QCoro::Task<void> openApplication(std::string, bool) override { co_return; }
    bool openURL(const std::string&) override { return false; }
    bool activate(std::int32_t) override { return false; }
    bool terminate(std::int32_t) override { return false; }
    std::string hostName() const override { return "host"; }
    OSVersion osVersion() const override { return {}; }
};

// The metadata index as a fixed list. Tests change it only between discoveries. With a gate, a
// query waits (at most thirty seconds) until the test opens it.
class ListCatalog final : public AppCatalog {
public:
    std::optional<std::vector<std::string>> index = std::vector<std::string>{};
    std::map<std::string, Instant> lastUsed;
    std::vector<std::string> roots;
    std::shared_future<void> gate;
    bool indexFails = false;
    mutable std::atomic<int> queries{0};
    mutable std::atomic<bool> queriedOnMainThread{false};

    std::optional<std::vector<std::string>> indexedApplications() const override {
        ++queries;
        if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
            queriedOnMainThread = true;
        }
        if (gate.valid()) {
            gate.wait_for(30s);
        }
        if (indexFails) {
            throw std::runtime_error("index unavailable");
        }
        return index;
    }
    std::optional<WireTime::Instant> lastUsedDate(const std::string& path) const override {
        const auto it = lastUsed.find(path);
        return it == lastUsed.end() ? std::nullopt : std::optional<Instant>(it->second);
    }
    std::vector<std::string> directoryRoots() const override { return roots; }
};

template <typename T>
struct Outcome {
    bool done = false;
    std::optional<T> value;
    std::string error;
};

template <typename T>
QCoro::Task<void> settle(QCoro::Task<T> task, std::shared_ptr<Outcome<T>> outcome) {
    try {
        outcome->value = co_await std::move(task);
    } catch (const ContractError& e) {
        outcome->error = e.code();
    }
    outcome->done = true;
}

// Runs the event loop until the outcome is in; the bound only runs out when a test fails.
template <typename T>
void pump(const Outcome<T>& outcome) {
    QElapsedTimer timer;
    timer.start();
    while (!outcome.done && timer.elapsed() < 20000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
}

template <typename T>
Outcome<T> finish(QCoro::Task<T>&& task) {
    auto outcome = std::make_shared<Outcome<T>>();
    settle(std::move(task), outcome);
    pump(*outcome);
    return *outcome;
}

std::vector<std::string> identifiers(const std::vector<Entry>& entries) {
    std::vector<std::string> ids;
    for (const Entry& entry : entries) {
        ids.push_back(entry.bundleID);
    }
    return ids;
}

Instant at(int seconds) {
    return Instant{} + std::chrono::seconds(1'800'000'000 + seconds);
}

class AppInventoryTest : public ::testing::Test {
protected:
    AppInventoryTest() {
        root = dir.path().toStdString();
        catalog.roots = {root + "/Applications", root + "/System/Applications",
                         root + "/Users/Shared", root + "/home/Applications"};
        for (const std::string& folder : catalog.roots) {
            fs::create_directories(folder);
        }
    }

    // Makes a bundle at `path` (below the temporary root) and returns its absolute path.
    std::string bundle(const std::string& path, const JSON::Object& info) {
        const std::string absolute = root + "/" + path;
        fs::create_directories(absolute);
        workspace.infos[absolute] = *SimValueCodec::fromJSON(JSON(info)).dictionary();
        return absolute;
    }
    static JSON::Object info(const std::string& id, const std::string& name = {}) {
        JSON::Object object{{"CFBundleIdentifier", JSON(id)}};
        if (!name.empty()) {
            object.emplace("CFBundleName", JSON(name));
        }
        return object;
    }
    static RunningApplication runningAt(const std::string& id, const std::string& path,
                                        std::optional<Instant> launched = {}) {
        RunningApplication app;
        app.pid = 100;
        app.bundleID = id;
        app.bundlePath = path;
        app.launchDate = launched;
        return app;
    }

    std::vector<Entry> discovered() { return *finish(inventory.applications(true)).value; }

    QTemporaryDir dir;
    std::string root;
    FolderWorkspace workspace;
    ListCatalog catalog;
    test::FakePlatform fakes;
    ApplicationBundlesOnMac bundles{workspace};
    Platform platform_{.workspace = workspace,
                       .bundles = bundles,
                       .sessionLock = fakes.mac.sessionLock(),
                       .accessibility = fakes.mac.accessibility(),
                       .input = fakes.mac.input(),
                       .focusModes = fakes.mac.focusModes(),
                       .audio = fakes.audio,
                       .mediaPlayers = fakes.players,
                       .powerSources = fakes.mac.powerSources(),
                       .host = fakes.host,
                       .appCatalog = catalog,
                       .screenCapture = fakes.capture,
                       .keychain = fakes.keychain,
                       .processes = fakes.processes,
                       .loginItems = fakes.loginItems,
                       .defaults = fakes.defaults,
                       .prompts = fakes.prompts,
                       .clock = fakes.clock};
    AppInventory inventory{platform_};
};

TEST(AppInventoryIdentifier, PatternAndLength) {
    struct Row {
        std::string identifier;
        bool accepted;
    };
    const std::vector<Row> rows{
        {"com.example.app", true},
        {"com.my-company.tool-2", true},
        {"a.b", true},
        {"a." + std::string(198, 'b'), true}, // 200 characters
        {"a." + std::string(199, 'b'), false},
        {"example", false},
        {"com..example", false},
        {"com.example.", false},
        {"com.example_app", false},
        {"com.example\n", false},
        {"com.exämple", false},
        {"", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(AppInventory::acceptsIdentifier(row.identifier), row.accepted) << row.identifier;
    }
}

TEST_F(AppInventoryTest, ListsOnlyOrdinaryApplicationsWithValidIdentifiers) {
    bundle("Applications/Plain.app", info("com.example.plain", "Plain"));
    bundle("Applications/Agent.app",
           {{"CFBundleIdentifier", "com.example.agent"}, {"LSBackgroundOnly", true}});
    bundle("Applications/Outer.app", info("com.example.outer"));
    const std::string inner =
        bundle("Applications/Outer.app/Contents/Helpers/Inner.app", info("com.example.inner"));
    // How a bundle says it is an agent, and the identifier's pattern, have tests of their own.
    bundle("Applications/DoubleDot.app", info("com..example"));
    bundle("Applications/NoIdentifier.app", {{"CFBundleName", "Nothing"}});
    bundle("Applications/NumericIdentifier.app", {{"CFBundleIdentifier", 5}});
    fs::create_directories(root + "/Applications/Empty.app");
    // The index knows the nested helper and a bundle that is gone.
    catalog.index = std::vector<std::string>{inner, root + "/Applications/Gone.app"};

    std::vector<std::string> ids = identifiers(discovered());
    std::sort(ids.begin(), ids.end());
    EXPECT_THAT(ids, ElementsAre("com.example.outer", "com.example.plain"));
}

TEST_F(AppInventoryTest, NamesComeFromTheBundleThenTheFileName) {
    bundle("Applications/A.app", {{"CFBundleIdentifier", "com.example.a"},
                                  {"CFBundleDisplayName", "Display"},
                                  {"CFBundleName", "Bundle"}});
    bundle("Applications/My.Tool.app", info("com.example.c"));
    bundle("Applications/D.app", {{"CFBundleIdentifier", "com.example.d"},
                                  {"CFBundleDisplayName", ""},
                                  {"CFBundleName", "Hidden by the empty display name"}});
    std::string longName;
    for (int i = 0; i < 200; ++i) {
        longName += "e\u0301"; // one character, two code points
    }
    bundle("Applications/E.app", info("com.example.e", longName));

    std::map<std::string, std::string> names;
    for (const Entry& entry : discovered()) {
        names[entry.bundleID] = entry.name;
    }
    EXPECT_EQ(names.size(), 3u);
    EXPECT_EQ(names["com.example.a"], "Display");
    EXPECT_EQ(names["com.example.c"], "My.Tool");
    EXPECT_EQ(names["com.example.e"].size(), longName.size() * 160 / 200);
}

TEST_F(AppInventoryTest, DuplicateBundlesKeepThePathOrderUnlessTheOtherCopyRuns) {
    const std::string first = bundle("Applications/Editor.app", info("com.example.editor"));
    const std::string second =
        bundle("home/Applications/Editor.app", info("com.example.editor", "Editor (mine)"));
    struct Row {
        std::string name;
        std::vector<std::string> running;
        std::string listed;
        bool runningFlag;
    };
    const std::vector<Row> rows{
        {"nothing runs", {}, first, false},
        {"second copy runs", {second}, second, true},
        {"first copy runs", {first}, first, true},
        {"both run", {second, first}, first, true},
        // The trailing slash and dot are the same bundle once the paths are standardised.
        {"second copy runs, path written loosely", {second + "/./"}, second, true},
    };
    for (const Row& row : rows) {
        workspace.running.clear();
        for (const std::string& path : row.running) {
            workspace.running.push_back(runningAt("com.example.editor", path));
        }
        const std::vector<Entry> entries = discovered();
        ASSERT_EQ(entries.size(), 1u) << row.name;
        EXPECT_EQ(entries[0].path, row.listed) << row.name;
        EXPECT_EQ(entries[0].running, row.runningFlag) << row.name;
    }
}

TEST_F(AppInventoryTest, RunningApplicationsAddCandidatesAndDates) {
    const std::string elsewhere = bundle("Elsewhere/Runner.app", info("com.example.runner"));
    const std::string accessory = bundle("Elsewhere/Accessory.app", info("com.example.accessory"));
    const std::string indexed = bundle("Indexed/Found.app", info("com.example.found"));
    const std::string dated = bundle("Applications/Dated.app", info("com.example.dated"));
    catalog.index = std::vector<std::string>{indexed};
    catalog.lastUsed[dated] = at(100);
    catalog.lastUsed[elsewhere] = at(50);

    RunningApplication runner = runningAt("com.example.runner", elsewhere, at(200));
    RunningApplication background = runningAt("com.example.accessory", accessory, at(300));
    background.activationPolicy = RunningApplication::ActivationPolicy::Accessory;
    // An older launch of the dated application does not hide its later use.
    workspace.running = {runner, background, runningAt("com.example.dated", dated, at(10))};

    const std::vector<Entry> entries = discovered();
    ASSERT_THAT(identifiers(entries),
                ElementsAre("com.example.runner", "com.example.dated", "com.example.found"));
    EXPECT_EQ(entries[0].lastOpened, at(200));
    EXPECT_TRUE(entries[0].running);
    EXPECT_EQ(entries[1].lastOpened, at(100));
    EXPECT_TRUE(entries[1].running);
    EXPECT_EQ(entries[2].lastOpened, std::nullopt);
    EXPECT_FALSE(entries[2].running);

    // Without the index the walked folders still count.
    catalog.index.reset();
    EXPECT_THAT(identifiers(discovered()), ElementsAre("com.example.runner", "com.example.dated"));

    // A source that fails takes only itself away.
    catalog.index = std::vector<std::string>{indexed};
    catalog.indexFails = true;
    workspace.unreadable = elsewhere;
    EXPECT_THAT(identifiers(discovered()), ElementsAre("com.example.dated"));
    catalog.indexFails = false;
    workspace.unreadable.clear();
    workspace.runningFails = true;
    const std::vector<Entry> withoutRunning = discovered();
    EXPECT_THAT(identifiers(withoutRunning), ElementsAre("com.example.dated", "com.example.found"));
    EXPECT_FALSE(withoutRunning[0].running);
}

TEST(AppInventoryOrder, DatesFirstThenNamesAsAFileBrowserSortsThem) {
    const auto entry = [](std::string name, std::string id, std::optional<Instant> date) {
        return Entry{std::move(name), std::move(id), date, false, "/Applications/x.app"};
    };
    const std::vector<Entry> entries{
        entry("AAA undated", "com.u.a", std::nullopt),
        entry("App 10", "com.same.ten", at(5)),
        entry("banana", "com.same.banana", at(5)),
        entry("App 2", "com.same.two", at(5)),
        entry("Apple", "com.same.apple", at(5)),
        entry("Twin", "com.twin.b", at(5)),
        entry("twin", "com.twin.a", at(5)),
        entry("Newest", "com.new", at(9)),
        entry("Zed undated", "com.u.z", std::nullopt),
        entry("Older", "com.old", at(1)),
    };
    EXPECT_THAT(identifiers(AppInventory::ordered(entries)),
                ElementsAre("com.new", "com.same.two", "com.same.ten", "com.same.apple",
                            "com.same.banana", "com.twin.a", "com.twin.b", "com.old", "com.u.a",
                            "com.u.z"));
}

TEST_F(AppInventoryTest, PagesOfAHundred) {
    for (int i = 0; i < 250; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "App %03d", i);
        bundle(std::string("Applications/") + name + ".app",
               info("com.example.app" + std::to_string(i), name));
    }
    struct Row {
        std::int64_t offset;
        std::size_t count;
        std::string first;
        JSON next;
    };
    const std::vector<Row> rows{
        {0, 100, "App 000", JSON(100)},  {100, 100, "App 100", JSON(200)},
        {150, 100, "App 150", JSON()},   {200, 50, "App 200", JSON()},
        {-3, 100, "App 000", JSON(100)}, {250, 0, "", JSON()},
        {1000, 0, "", JSON()},
    };
    for (const Row& row : rows) {
        const JSON page = *finish(inventory.page(row.offset)).value;
        const JSON::Array& apps = *page.find("apps")->array();
        EXPECT_EQ(apps.size(), row.count) << row.offset;
        EXPECT_EQ(*page.find("next_offset"), row.next) << row.offset;
        if (!apps.empty()) {
            EXPECT_EQ(*apps.front().stringMember("name"), row.first) << row.offset;
        }
    }
}

TEST_F(AppInventoryTest, ResolvesOneNameIgnoringCase) {
    const std::string notes = bundle("Applications/Notes.app", info("com.example.notes", "Notes"));
    const std::string textMate =
        bundle("Applications/TextMate2.app", info("com.example.textmate", "TextMate"));
    // Stored decomposed, asked for precomposed.
    const std::string cafe =
        bundle("Applications/Cafe.app", info("com.example.cafe", "Cafe\u0301 Li\u0301vre"));
    const std::string mailA = bundle("Applications/MailA.app", info("com.example.maila", "Mail"));
    bundle("Users/Shared/MailB.app", info("com.example.mailb", "Mail"));
    struct Row {
        std::string asked;
        std::string outcome; // the path, or the error code
    };
    const std::vector<Row> rows{
        {"Notes", notes},
        {"nOTES", notes},
        {"textmate", textMate},
        {"TEXTMATE2", textMate},
        {"CAF\u00c9 L\u00cdVRE", cafe},
        {"maila", mailA},
        {"Mail", "app_not_found_or_ambiguous"},
        {"Nothing", "app_not_found_or_ambiguous"},
        {"", "app_not_found_or_ambiguous"},
    };
    for (const Row& row : rows) {
        const Outcome<std::string> outcome = finish(inventory.resolve(row.asked));
        EXPECT_EQ(outcome.value ? *outcome.value : outcome.error, row.outcome) << row.asked;
    }
}

TEST(AppInventoryWalk, DepthPackagesHiddenItemsAndLinks) {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    for (const char* folder :
         {"L1.app", "UPPER.APP", "a/b/c/d/Five.app", "a/b/c/d/e/Six.app", ".hidden/Hidden.app",
          ".Dot.app", "Kit.bundle/Packaged.app", "Outer.app/Contents/Inner.app"}) {
        fs::create_directories(root + "/" + folder);
    }
    fs::create_directory_symlink(root, root + "/loop");
    fs::create_directory_symlink(root + "/L1.app", root + "/Linked.app");

    EXPECT_THAT(AppInventory::walk(root),
                ElementsAre(root + "/L1.app", root + "/Linked.app", root + "/Outer.app",
                            root + "/UPPER.APP", root + "/a/b/c/d/Five.app"));
    // Visited in order: Kit.bundle, L1.app, Linked.app; then the cap ends the walk.
    EXPECT_THAT(AppInventory::walk(root, {3, 4}),
                ElementsAre(root + "/L1.app", root + "/Linked.app"));
    EXPECT_THAT(AppInventory::walk(root + "/", {20000, 3}),
                ElementsAre(root + "/L1.app", root + "/Linked.app", root + "/Outer.app",
                            root + "/UPPER.APP"));
    EXPECT_THAT(AppInventory::walk(root + "/missing"), IsEmpty());
    EXPECT_THAT(AppInventory::walk("relative/path"), IsEmpty());
}

TEST_F(AppInventoryTest, CachesForThirtySecondsAndOffsetZeroRediscovers) {
    bundle("Applications/One.app", info("com.example.one"));
    const auto listed = [&](bool refresh) {
        return identifiers(*finish(inventory.applications(refresh)).value);
    };

    EXPECT_THAT(listed(false), ElementsAre("com.example.one"));
    bundle("Applications/Two.app", info("com.example.two"));
    EXPECT_THAT(listed(false), ElementsAre("com.example.one"));
    fakes.clock.advance(29'999ms);
    EXPECT_THAT(listed(false), ElementsAre("com.example.one"));
    EXPECT_EQ(catalog.queries, 1);
    fakes.clock.advance(1ms);
    EXPECT_THAT(listed(false), ElementsAre("com.example.one", "com.example.two"));
    EXPECT_EQ(catalog.queries, 2);

    // Paging from 0 takes a fresh snapshot; the next pages read it.
    bundle("Applications/Three.app", info("com.example.three"));
    EXPECT_EQ(finish(inventory.page(0)).value->find("apps")->array()->size(), 3u);
    EXPECT_EQ(catalog.queries, 3);
    finish(inventory.page(100));
    finish(inventory.resolve("One"));
    EXPECT_EQ(catalog.queries, 3);
    EXPECT_THAT(listed(true),
                ElementsAre("com.example.one", "com.example.three", "com.example.two"));
    EXPECT_EQ(catalog.queries, 4);
}

TEST_F(AppInventoryTest, DiscoveryLeavesTheMainThreadFree) {
    bundle("Applications/One.app", info("com.example.one"));
    std::promise<void> open;
    catalog.gate = open.get_future().share();

    auto outcome = std::make_shared<Outcome<JSON>>();
    settle(inventory.page(0), outcome);
    int ticks = 0;
    QTimer timer;
    timer.setInterval(1);
    QObject::connect(&timer, &QTimer::timeout, &timer, [&ticks] { ++ticks; });
    timer.start();
    QElapsedTimer elapsed;
    elapsed.start();
    while (ticks < 10 && elapsed.elapsed() < 20000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    EXPECT_GE(ticks, 10);
    EXPECT_FALSE(outcome->done);

    open.set_value();
    pump(*outcome);
    ASSERT_TRUE(outcome->value);
    EXPECT_EQ(outcome->value->find("apps")->array()->size(), 1u);
    EXPECT_FALSE(catalog.queriedOnMainThread);
}

// Callers arriving while a discovery runs, refreshing or not, share it.
TEST_F(AppInventoryTest, ConcurrentCallersShareOneDiscovery) {
    bundle("Applications/One.app", info("com.example.one"));
    std::promise<void> open;
    catalog.gate = open.get_future().share();
    auto first = std::make_shared<Outcome<std::vector<Entry>>>();
    auto second = std::make_shared<Outcome<JSON>>();
    auto third = std::make_shared<Outcome<std::string>>();
    settle(inventory.applications(true), first);
    settle(inventory.page(0), second);
    settle(inventory.resolve("one"), third);
    open.set_value();
    pump(*first);
    pump(*second);
    pump(*third);
    EXPECT_EQ(catalog.queries, 1);
    ASSERT_TRUE(first->value && second->value && third->value);
    EXPECT_THAT(identifiers(*first->value), ElementsAre("com.example.one"));
    EXPECT_EQ(second->value->find("apps")->array()->size(), 1u);
    EXPECT_EQ(*third->value, root + "/Applications/One.app");

    // Once it has ended, a refresh discovers afresh.
    finish(inventory.applications(true));
    EXPECT_EQ(catalog.queries, 2);
}

TEST_F(AppInventoryTest, AnInventoryMayGoWhileItsDiscoveryRuns) {
    bundle("Applications/One.app", info("com.example.one"));
    std::promise<void> open;
    catalog.gate = open.get_future().share();
    auto outcome = std::make_shared<Outcome<std::vector<Entry>>>();
    std::thread opener;
    {
        AppInventory inventory(platform_); // its own, gone at the end of this block
        settle(inventory.applications(true), outcome);
        // The discovery is inside the index query, held by the gate, when the inventory goes.
        QElapsedTimer waited;
        waited.start();
        while (catalog.queries == 0 && waited.elapsed() < 20000) {
            QThread::msleep(1);
        }
        EXPECT_EQ(catalog.queries, 1);
        EXPECT_FALSE(outcome->done);
        opener = std::thread([&open] {
            std::this_thread::sleep_for(20ms);
            open.set_value();
        });
    } // waits for the worker
    opener.join();
    pump(*outcome);
    ASSERT_TRUE(outcome->value);
    EXPECT_THAT(identifiers(*outcome->value), ElementsAre("com.example.one"));
}

} // namespace
} // namespace corvane
