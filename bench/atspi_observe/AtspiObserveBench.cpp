// The agent's main thread while desktop_observe reads a real window over AT-SPI: the Linux
// backend and desktop control in this process, a 1 ms precise timer on the main thread, and per
// run the longest gap between its ticks (wall time: what a waiting request would feel) and the
// longest stretch of main-thread CPU between two returns to the event loop (what the observation
// itself holds, whatever else the machine runs). Prints one JSON object. bench/atspi_desktop.py
// runs it inside its desktop, with the form it started in front:
//   atspi_observe_bench BUNDLE_ID [RUNS]
#include "../MainThreadGaps.h"
#include "actions/DesktopControl.h"
#include "core/JSON.h"
#include "platform/SettingsUserDefaults.h"
#include "velto/LinuxBackend.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace corvane;

double threadMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

struct Outcome {
    bool done = false;
    std::string error;
    std::size_t elements = 0;
};

QCoro::Task<> observeInto(DesktopControl* control, JSON params, std::shared_ptr<Outcome> out) {
    try {
        const JSON result = co_await control->observe(std::move(params));
        const JSON* elements = result.find("elements");
        out->elements =
            elements != nullptr && elements->array() != nullptr ? elements->array()->size() : 0;
    } catch (const std::exception& error) {
        out->error = error.what();
    }
    out->done = true;
}

// One observation; its latency in ms, and the main thread's longest gap and CPU hold meanwhile.
struct Run {
    std::shared_ptr<Outcome> outcome = std::make_shared<Outcome>();
    double latency = 0;
    double gap = 0;
    double hold = 0;
};

Run observeOnce(DesktopControl& control, bench::MainThreadGaps& gaps, const JSON& params) {
    Run run;
    gaps.start();
    QElapsedTimer elapsed;
    elapsed.start();
    double cpu = threadMilliseconds();
    observeInto(&control, params, run.outcome);
    run.hold = threadMilliseconds() - cpu;
    while (!run.outcome->done) {
        cpu = threadMilliseconds();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        run.hold = std::max(run.hold, threadMilliseconds() - cpu);
    }
    run.latency = double(elapsed.nsecsElapsed()) / 1e6;
    gaps.closeLastGap();
    run.gap = double(gaps.longestNs()) / 1e6;
    return run;
}

JSON series(DesktopControl& control, bench::MainThreadGaps& gaps, const JSON& params, int runs) {
    std::vector<double> latencies;
    double gap = 0;
    double hold = 0;
    std::size_t elements = 0;
    std::map<std::string, int> refused;
    for (int i = 0; i < runs; ++i) {
        const Run run = observeOnce(control, gaps, params);
        gap = std::max(gap, run.gap);
        hold = std::max(hold, run.hold);
        if (!run.outcome->error.empty()) {
            ++refused[run.outcome->error];
            continue;
        }
        latencies.push_back(run.latency);
        elements = run.outcome->elements;
    }
    JSON::Object refusals;
    for (const auto& [code, count] : refused) {
        refusals.emplace(code, JSON(count));
    }
    return JSON(JSON::Object{
        {"elements", JSON(double(elements))},
        {"p50_ms", JSON(percentile(latencies, 0.5))},
        {"max_ms",
         JSON(latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end()))},
        {"refused", JSON(std::move(refusals))},
        {"longest_main_thread_gap_ms", JSON(gap)},
        {"longest_main_thread_hold_ms", JSON(hold)}});
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: atspi_observe_bench BUNDLE_ID [RUNS]\n");
        return 2;
    }
    QGuiApplication application(argc, argv);
    const std::string bundle = argv[1];
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    QTemporaryDir home;
    SettingsUserDefaults defaults(home.filePath(QStringLiteral("defaults.ini")));
    LinuxBackend backend(defaults);
    const Platform platform = backend.platform();
    DesktopControl control(platform, &defaults);
    control.enableDesktop();
    bench::MainThreadGaps gaps;

    const JSON plain(JSON::Object{{"bundle_id", JSON(bundle)}});
    const JSON withImage(JSON::Object{{"bundle_id", JSON(bundle)}, {"include_image", JSON(true)}});
    // The first observation waits for the window and the services to come up.
    QElapsedTimer waited;
    waited.start();
    while (observeOnce(control, gaps, plain).outcome->error.size() > 0 &&
           waited.elapsed() < 30000) {
    }
    // The idle main thread's longest gap over as long as the runs take: the floor of the figures.
    gaps.start();
    QElapsedTimer idle;
    idle.start();
    while (idle.elapsed() < 2000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    const double idleGap = double(gaps.longestNs()) / 1e6;
    JSON result(JSON::Object{{"observe", series(control, gaps, plain, runs)},
                             {"observe_with_image", series(control, gaps, withImage, runs)},
                             {"idle_main_thread_gap_ms", JSON(idleGap)}});
    std::printf("%s\n", result.data().c_str());
    return 0;
}
