// How long one command holds the main thread: the longest gap between ticks of a 1 ms timer on
// the main thread while a local "set_volume" runs through the whole pipeline (log at 10 MiB, real
// files, the simulated Mac), next to the command's own latency.
#include "BenchVault.h"
#include "FullLog.h"
#include "MainThreadGaps.h"
#include "agent/Agent.h"
#include "platform/SettingsUserDefaults.h"
#include "sim/SimulatedMac.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace corvane;

// Built outside the coroutine: GCC 12 refuses braced member lists with literal keys inside one.
JSON setVolume(int level) {
    return JSON(JSON::Object{{"action", JSON("set_volume")},
                             {"params", JSON(JSON::Object{{"level", JSON(level)}})}});
}

double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

QCoro::Task<> run(Agent* agent, int level, std::shared_ptr<int> status) {
    const LocalHTTPResponse answer = co_await agent->localCommand(setVolume(level));
    *status = answer.status;
}

void BM_CommandMainThreadStall(benchmark::State& state) {
    int argc = 1;
    char name[] = "bench";
    char* argv[] = {name, nullptr};
    std::optional<QCoreApplication> app;
    if (QCoreApplication::instance() == nullptr) {
        app.emplace(argc, argv);
    }
    QTemporaryDir home;
    const std::filesystem::path data = home.filePath(QStringLiteral("data")).toStdString();
    bench::fillLog(data / "commands.jsonl", std::size_t(state.range(0)), "get_state");
    SettingsUserDefaults defaults(home.filePath(QStringLiteral("defaults.ini")));
    SimulatedMac mac(home.filePath(QStringLiteral("sim")),
                     SimulatedMac::Options{nullptr, &defaults});
    QFile scenario(QStringLiteral(CORVANE_DEFAULT_SCENARIO));
    scenario.open(QIODevice::ReadOnly);
    mac.load(scenario.readAll().toStdString());
    Agent agent(mac.platform(), std::make_shared<bench::BenchVault>(),
                Agent::Paths{data, QStringLiteral(CORVANE_SCHEMA_PATH)});

    bench::MainThreadGaps gaps;

    // One command first: what the first command alone pays (compiling the contract's patterns,
    // the first thread start) is not what every command holds the main thread for.
    {
        auto status = std::make_shared<int>(0);
        run(&agent, 50, status);
        while (*status == 0) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    }
    std::vector<double> latencies;
    // The main thread's own time during each command: what it spent, whatever else the machine
    // was doing (a loaded machine lengthens the gaps without any work of ours in them).
    std::vector<double> cpu;
    qint64 worst = 0;
    int level = 0;
    for (auto _ : state) {
        auto status = std::make_shared<int>(0);
        gaps.start();
        const qint64 began = gaps.nowNs();
        const double cpuBefore = threadCpuMs();
        run(&agent, level++ % 100, status);
        while (*status == 0) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        cpu.push_back(threadCpuMs() - cpuBefore);
        latencies.push_back(double(gaps.nowNs() - began) / 1e6);
        worst = std::max(worst, gaps.longestNs());
        if (*status != 200) {
            state.SkipWithError("the command was refused");
            break;
        }
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["longest_main_thread_gap_ms"] = double(worst) / 1e6;
    state.counters["command_p50_ms"] = latencies.empty() ? 0 : latencies[latencies.size() / 2];
    std::sort(cpu.begin(), cpu.end());
    state.counters["main_thread_cpu_p50_ms"] = cpu.empty() ? 0 : cpu[cpu.size() / 2];
    state.counters["main_thread_cpu_max_ms"] = cpu.empty() ? 0 : cpu.back();
}

BENCHMARK(BM_CommandMainThreadStall)
    ->Arg(10 * 1024 * 1024 - 65536)
    ->Arg(0)
    ->Iterations(40)
    ->Unit(benchmark::kMillisecond);

} // namespace
