// Desktop control on the simulated Mac: "desktop_observe" of a 1600 × 1000 window of 600
// elements, without and with its image (p50 over 100 runs, and the longest stretch the main
// thread spends on it without returning to its event loop), and encodeScreenshot of the same
// window painted at full size with a caption on every control (p50, and the ladder steps it
// took).
#include "actions/DesktopControl.h"
#include "actions/DesktopObservation.h"
#include "actions/ScreenshotEncoder.h"
#include "platform/SettingsUserDefaults.h"
#include "sim/SimModel.h"
#include "sim/SimulatedMac.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <ctime>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace corvane;

// 600 elements: the window, 10 bare rows of 53 bare cells each and 59 captioned controls in the
// first cells, so that the walk takes all 600 and reports 60. With `captioned`, every cell is a
// control with a caption instead: the busiest picture.
std::string windowScenario(bool captioned) {
    JSON::Array rows;
    int made = 1;
    for (int r = 0; r < 10; ++r) {
        JSON::Array cells;
        for (int c = 0; c < 53; ++c) {
            const double x = 10 + c * 30.0;
            const double y = 40 + r * 96.0;
            JSON::Array frame{JSON(x), JSON(y), JSON(28.0), JSON(90.0)};
            JSON::Object cell{{"role", JSON(captioned ? "AXButton" : "AXGroup")},
                              {"frame", JSON(frame)}};
            if (captioned) {
                cell["title"] = JSON("Item " + std::to_string(made));
            }
            ++made;
            const int control = r * 53 + c;
            if (!captioned && control < 59) {
                JSON::Object button{
                    {"role", JSON(control % 3 == 0 ? "AXTextField" : "AXButton")},
                    {"title", JSON("Control " + std::to_string(control))},
                    {"value", JSON("value " + std::to_string(control))},
                    {"frame", JSON(JSON::Array{JSON(x + 2), JSON(y + 10), JSON(24.0), JSON(20.0)})},
                    {"actions", JSON(JSON::Array{JSON(JSON::Object{{"name", JSON("AXPress")}})})}};
                cell["children"] = JSON(JSON::Array{JSON(std::move(button))});
                ++made;
            }
            cells.emplace_back(std::move(cell));
        }
        rows.emplace_back(JSON::Object{
            {"role", JSON("AXGroup")},
            {"frame", JSON(JSON::Array{JSON(0.0), JSON(36 + r * 96.0), JSON(1600.0), JSON(96.0)})},
            {"children", JSON(std::move(cells))}});
        ++made;
    }
    const JSON window(
        JSON::Object{{"id", JSON("w")},
                     {"role", JSON("AXWindow")},
                     {"subrole", JSON("AXStandardWindow")},
                     {"title", JSON("Busy window")},
                     {"frame", JSON(JSON::Array{JSON(0.0), JSON(0.0), JSON(1600.0), JSON(1000.0)})},
                     {"children", JSON(std::move(rows))}});
    const JSON app(JSON::Object{
        {"path", JSON("Applications/Busy.app")},
        {"bundle", JSON(JSON::Object{{"CFBundleIdentifier", JSON("com.example.busy")}})},
        {"running", JSON(JSON::Array{JSON(JSON::Object{{"pid", JSON(500)}})})},
        {"ui", JSON(JSON::Object{{"windows", JSON(JSON::Array{window})},
                                 {"focused_window", JSON("w")}})}});
    return JSON(JSON::Object{{"apps", JSON(JSON::Array{app})}, {"frontmost", JSON(500)}}).data();
}

// Fonts for the captions need a GUI application. It lives as long as the process (the benchmark
// library owns main), like the one every other benchmark then finds and uses.
void application() {
    static int argc = 1;
    static char name[] = "corvane_bench";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        new QGuiApplication(argc, argv);
    }
}

struct Desktop {
    QTemporaryDir home;
    SettingsUserDefaults defaults{home.filePath(QStringLiteral("defaults.ini"))};
    std::unique_ptr<SimulatedMac> mac;
    std::unique_ptr<Platform> platform;
    std::unique_ptr<DesktopControl> control;

    explicit Desktop(bool captioned) {
        mac = std::make_unique<SimulatedMac>(home.filePath(QStringLiteral("sim")),
                                             SimulatedMac::Options{nullptr, &defaults});
        mac->load(windowScenario(captioned));
        platform = std::make_unique<Platform>(mac->platform());
        control = std::make_unique<DesktopControl>(*platform, &defaults);
        control->enableDesktop();
    }
};

QCoro::Task<> observeInto(DesktopControl* control, JSON params, std::shared_ptr<std::string> out) {
    try {
        const JSON result = co_await control->observe(std::move(params));
        *out = result.data();
    } catch (const std::exception& error) {
        *out = std::string("error: ") + error.what();
    }
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

// CPU time of the calling thread: what the main thread itself spends, whatever else the machine
// runs meanwhile.
double threadMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

void BM_DesktopObserve600(benchmark::State& state) {
    application();
    const bool withImage = state.range(0) != 0;
    Desktop desktop(false);
    const JSON params = withImage ? JSON::parse(R"({"include_image":true})") : JSON::parse("{}");

    std::vector<double> latencies;
    // The longest stretch the main thread works for the observation without returning to its
    // event loop: the start up to the first suspension, and each pass of the loop that resumes it.
    double longestHold = 0;
    std::string last;
    for (auto _ : state) {
        auto out = std::make_shared<std::string>();
        QElapsedTimer elapsed;
        elapsed.start();
        double cpu = threadMilliseconds();
        observeInto(desktop.control.get(), params, out);
        longestHold = std::max(longestHold, threadMilliseconds() - cpu);
        while (out->empty()) {
            cpu = threadMilliseconds();
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            longestHold = std::max(longestHold, threadMilliseconds() - cpu);
        }
        latencies.push_back(double(elapsed.nsecsElapsed()) / 1e6);
        last = *out;
        if (last.front() != '{') {
            state.SkipWithError(last.c_str());
            break;
        }
    }
    const JSON result = last.front() == '{' ? JSON::parse(last) : JSON();
    const AXElement window = *desktop.mac->model().named("w");
    state.counters["elements_reported"] =
        result.isObject() ? double(result.find("elements")->array()->size()) : 0;
    state.counters["elements_taken"] = double(
        DesktopObservation::walk(desktop.platform->accessibility, desktop.platform->clock, {window})
            .taken);
    state.counters["p50_ms"] = percentile(latencies, 0.5);
    state.counters["p90_ms"] = percentile(latencies, 0.9);
    state.counters["longest_main_thread_hold_ms"] = longestHold;
    if (const JSON* image = result.isObject() ? result.find("image") : nullptr) {
        state.counters["image_bytes"] =
            double(QByteArray::fromBase64(QByteArray::fromStdString(*image->stringMember("base64")))
                       .size());
        state.counters["image_width"] = *image->find("width")->number();
    }
}
BENCHMARK(BM_DesktopObserve600)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(100)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_EncodeBusyWindow(benchmark::State& state) {
    application();
    Desktop desktop(true);
    const std::uint32_t id = static_cast<std::uint32_t>(desktop.mac->model().named("w")->token());
    std::optional<QImage> image;
    desktop.mac->model().with([&](SimParts& parts) {
        if (const auto picture = parts.windows.capture(id, 1600, 1000)) {
            image = SimWindows::paint(*picture);
        }
    });
    if (!image) {
        state.SkipWithError("no capture");
        return;
    }
    std::vector<double> durations;
    ScreenshotEncoder::Encoded encoded;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        encoded = ScreenshotEncoder::encodeScreenshot(*image, 24000);
        durations.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    state.counters["p50_ms"] = percentile(durations, 0.5);
    state.counters["steps"] = encoded.steps;
    state.counters["width"] = encoded.size.width();
    state.counters["bytes"] = double(encoded.jpeg.size());
    state.counters["captions"] =
        qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr ? 1 : 0;
}
BENCHMARK(BM_EncodeBusyWindow)->Iterations(100)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
