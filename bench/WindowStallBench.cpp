// How long the window holds the main thread: the longest gap between ticks of a 1 ms timer while
// the This Mac page renders a fresh device report, while the app picker fills with 2,000
// applications, and while the Activity page reloads a 10 MiB log (read on a worker).
#include "BenchVault.h"
#include "FullLog.h"
#include "MainThreadGaps.h"
#include "agent/Agent.h"
#include "platform/PlatformWithPrompts.h"
#include "platform/SettingsUserDefaults.h"
#include "sim/SimulatedMac.h"
#include "window/ActivityPage.h"
#include "window/AppDelegate.h"
#include "window/WindowPrompts.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>

namespace {

using namespace corvane;

// The longest gap between ticks of a 1 ms main-thread timer while `start` runs and until `done`.
double longestGapMs(const std::function<void()>& start, const std::function<bool()>& done) {
    bench::MainThreadGaps gaps;
    gaps.start();
    bool started = false;
    QTimer::singleShot(0, gaps.context(), [&] {
        start();
        started = true;
    });
    while (!started || !done()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    gaps.closeLastGap();
    return double(gaps.longestNs()) / 1e6;
}

void BM_WindowMainThreadStall(benchmark::State& state) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int argc = 1;
    char name[] = "bench";
    char* argv[] = {name, nullptr};
    std::optional<QApplication> application;
    if (QCoreApplication::instance() == nullptr) {
        application.emplace(argc, argv);
    }
    QTemporaryDir home;
    const std::filesystem::path data = home.filePath(QStringLiteral("data")).toStdString();
    bench::fillLog(data / "commands.jsonl", 10 * 1024 * 1024 - 4096, "mute");
    SettingsUserDefaults defaults(home.filePath(QStringLiteral("defaults.ini")));
    SimulatedMac mac(home.filePath(QStringLiteral("sim")),
                     SimulatedMac::Options{nullptr, &defaults});
    QFile scenario(QStringLiteral(CORVANE_DEFAULT_SCENARIO));
    scenario.open(QIODevice::ReadOnly);
    mac.load(scenario.readAll().toStdString());
    const Platform base = mac.platform();
    WindowPrompts prompts(base.prompts);
    const Platform platform = platformWithPrompts(base, prompts);
    AppDelegate::Options options;
    options.programPath = "/bench/velto";
    options.reducedMotion = [] {
        return true;
    };
    options.website = QStringLiteral("https://velto.example.com");
    options.makeAgent = [&] {
        return std::make_unique<Agent>(platform, std::make_shared<bench::BenchVault>(),
                                       Agent::Paths{data, QStringLiteral(CORVANE_SCHEMA_PATH)});
    };
    AppDelegate app(platform, prompts, std::move(options));
    app.launch();
    while (app.agent() == nullptr || app.agent()->readingState()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    MainWindow& window = app.window();
    window.show();

    std::vector<AppInventory::Entry> apps;
    for (int i = 0; i < 2000; ++i) {
        apps.push_back(AppInventory::Entry{
            "Application " + std::to_string(i), "com.example.app" + std::to_string(i), std::nullopt,
            false, "/Applications/App" + std::to_string(i) + ".app"});
    }

    double report = 0;
    double picker = 0;
    double activity = 0;
    for (auto _ : state) {
        window.pickPage(0);
        Agent* agent = app.agent();
        report = std::max(report, longestGapMs([&] { window.refreshDisplayedState(); },
                                               [&] { return !agent->readingState(); }));
        picker = std::max(
            picker, longestGapMs([&] { window.setInstalledApps(apps); }, [] { return true; }));
        window.pickPage(2);
        auto* page = qobject_cast<ActivityPage*>(window.page());
        while (page->reading()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        activity = std::max(activity, longestGapMs([&] { page->refreshActivity(); },
                                                   [&] { return !page->reading(); }));
    }
    state.counters["report_gap_ms"] = report;
    state.counters["app_picker_2000_gap_ms"] = picker;
    state.counters["activity_10MiB_gap_ms"] = activity;
}

BENCHMARK(BM_WindowMainThreadStall)->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace
