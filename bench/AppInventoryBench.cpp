// "list_apps" from offset 0, which always discovers afresh: 2000 application bundles spread over
// the four walked folders (also known to the metadata index), beside ordinary files and folders
// the walk has to pass. Also reported: the longest gap between ticks of a 1 ms main-thread timer
// while discovery runs, which shows that the main thread stays free.
#include "actions/AppInventory.h"
#include "mac/ApplicationBundlesOnMac.h"
#include "support/FakePlatform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using corvane::AppCatalog;
using corvane::AppInventory;
using corvane::JSON;
using corvane::PlatformValue;
namespace fs = std::filesystem;

constexpr int bundleCount = 2000;

// Reads "<bundle>/Contents/Info.json" like the simulated computer does; safe on any thread.
class FolderWorkspace final : public corvane::Workspace, public corvane::MacBundles {
public:
    std::vector<corvane::RunningApplication> runningApplications() const override { return {}; }
    std::optional<corvane::RunningApplication> frontmostApplication() const override { return {}; }
    std::optional<std::string> applicationPath(const std::string&) const override { return {}; }
    std::optional<PlatformValue::Dictionary> bundleInfo(const std::string& path) const override {
        std::ifstream file(path + "/Contents/Info.json", std::ios::binary);
        if (!file) {
            return std::nullopt;
        }
        std::stringstream text;
        text << file.rdbuf();
        try {
            const JSON info = JSON::parse(text.str());
            if (!info.isObject()) {
                return std::nullopt;
            }
            PlatformValue::Dictionary dictionary;
            for (const auto& [key, value] : *info.object()) {
                if (const std::string* s = value.string()) {
                    dictionary.emplace(key, *s);
                } else if (const auto b = value.boolean()) {
                    dictionary.emplace(key, *b);
                }
            }
            return dictionary;
        } catch (const corvane::JSONReadError&) {
            return std::nullopt;
        }
    }
    QCoro::Task<void> openApplication(std::string, bool) override { co_return; }
    bool openURL(const std::string&) override { return false; }
    bool activate(std::int32_t) override { return false; }
    bool terminate(std::int32_t) override { return false; }
    std::string hostName() const override { return "bench"; }
    corvane::OSVersion osVersion() const override { return {}; }
};

class FolderCatalog final : public AppCatalog {
public:
    std::vector<std::string> indexed;
    std::vector<std::string> roots;

    std::optional<std::vector<std::string>> indexedApplications() const override { return indexed; }
    std::optional<corvane::WireTime::Instant> lastUsedDate(const std::string&) const override {
        return std::nullopt;
    }
    std::vector<std::string> directoryRoots() const override { return roots; }
};

void writeBundle(const std::string& path, int i) {
    fs::create_directories(path + "/Contents/MacOS");
    fs::create_directories(path + "/Contents/Resources");
    std::ofstream(path + "/Contents/MacOS/binary") << "x";
    std::ofstream(path + "/Contents/Info.json")
        << JSON(JSON::Object{{"CFBundleIdentifier", "com.bench.app" + std::to_string(i)},
                             {"CFBundleName", "Application " + std::to_string(i)}})
               .data();
}

// The four roots under `base`: most bundles at the top of /Applications, some in nested
// folders, some in the user's own folder, and plain documents in the shared folder.
FolderCatalog makeTree(const std::string& base) {
    FolderCatalog catalog;
    catalog.roots = {base + "/Applications", base + "/System/Applications", base + "/Users/Shared",
                     base + "/home/Applications"};
    for (const std::string& root : catalog.roots) {
        fs::create_directories(root);
    }
    for (int i = 0; i < bundleCount; ++i) {
        std::string path;
        if (i < 1200) {
            path = catalog.roots[0] + "/App" + std::to_string(i) + ".app";
        } else if (i < 1600) {
            path = catalog.roots[0] + "/Group" + std::to_string(i % 20) + "/Sub/App" +
                   std::to_string(i) + ".app";
        } else if (i < 1800) {
            path = catalog.roots[1] + "/App" + std::to_string(i) + ".app";
        } else {
            path = catalog.roots[3] + "/App" + std::to_string(i) + ".app";
        }
        writeBundle(path, i);
        catalog.indexed.push_back(path);
    }
    for (int i = 0; i < 2000; ++i) {
        const std::string folder = catalog.roots[2] + "/Projects/P" + std::to_string(i % 50);
        fs::create_directories(folder);
        std::ofstream(folder + "/notes" + std::to_string(i) + ".txt") << "x";
    }
    return catalog;
}

struct Setup {
    QTemporaryDir dir;
    FolderWorkspace workspace;
    corvane::ApplicationBundlesOnMac bundles{workspace};
    FolderCatalog catalog;
    corvane::test::FakePlatform mac;

    Setup()
        : catalog(makeTree(dir.path().toStdString())) {}

    corvane::Platform platform() {
        return corvane::Platform{.workspace = workspace,
                                 .bundles = bundles,
                                 .sessionLock = mac.mac.sessionLock(),
                                 .accessibility = mac.mac.accessibility(),
                                 .input = mac.mac.input(),
                                 .focusModes = mac.mac.focusModes(),
                                 .audio = mac.audio,
                                 .mediaPlayers = mac.players,
                                 .powerSources = mac.mac.powerSources(),
                                 .host = mac.host,
                                 .appCatalog = catalog,
                                 .screenCapture = mac.capture,
                                 .keychain = mac.keychain,
                                 .processes = mac.processes,
                                 .loginItems = mac.loginItems,
                                 .defaults = mac.defaults,
                                 .prompts = mac.prompts,
                                 .clock = mac.clock};
    }
};

struct Probe {
    bool done = false;
    std::size_t count = 0;
};

QCoro::Task<void> listFromZero(AppInventory& inventory, std::shared_ptr<Probe> probe) {
    const JSON page = co_await inventory.page(0);
    probe->count = page.find("apps")->array()->size();
    probe->done = true;
}

void BM_ListAppsFromZero(benchmark::State& state) {
    int argc = 1;
    char name[] = "corvane_bench";
    char* argv[] = {name, nullptr};
    std::optional<QCoreApplication> app;
    if (QCoreApplication::instance() == nullptr) {
        app.emplace(argc, argv);
    }
    Setup setup;
    corvane::Platform platform = setup.platform();
    AppInventory inventory(platform);

    // A 1 ms timer on the main thread; its longest gap while discovery runs.
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(1);
    QObject::connect(&timer, &QTimer::timeout, &timer, [&] {
        longestGap = std::max(longestGap, sinceTick.nsecsElapsed());
        sinceTick.restart();
    });

    std::size_t listed = 0;
    for (auto _ : state) {
        auto probe = std::make_shared<Probe>();
        sinceTick.start();
        timer.start();
        listFromZero(inventory, probe);
        while (!probe->done) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        timer.stop();
        listed = probe->count;
    }
    if (listed != AppInventory::pageSize) {
        state.SkipWithError("unexpected page size");
    }
    state.counters["bundles"] = bundleCount;
    state.counters["max_timer_gap_ms"] = static_cast<double>(longestGap) / 1e6;
}
BENCHMARK(BM_ListAppsFromZero)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Discovery alone, called directly (what the worker thread spends per "list_apps" from 0).
void BM_DiscoverTwoThousand(benchmark::State& state) {
    Setup setup;
    std::size_t found = 0;
    for (auto _ : state) {
        found =
            AppInventory::discover(setup.bundles, setup.catalog, {}, setup.catalog.roots).size();
    }
    if (found != bundleCount) {
        state.SkipWithError("unexpected bundle count");
    }
}
BENCHMARK(BM_DiscoverTwoThousand)->Unit(benchmark::kMillisecond);

// The ordering alone, for 2000 entries with a few shared dates.
void BM_OrderTwoThousand(benchmark::State& state) {
    std::vector<AppInventory::Entry> entries;
    for (int i = 0; i < bundleCount; ++i) {
        std::optional<corvane::WireTime::Instant> date;
        if (i % 3 != 0) {
            date = corvane::WireTime::Instant{} + std::chrono::hours(i % 40);
        }
        entries.push_back({"Application " + std::to_string(i), "com.bench.app" + std::to_string(i),
                           date, false, "/Applications/x.app"});
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(AppInventory::ordered(entries));
    }
}
BENCHMARK(BM_OrderTwoThousand)->Unit(benchmark::kMillisecond);

} // namespace
