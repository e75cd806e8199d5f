// A relay "get_state" through the real WSS session on loopback (command sent by the relay ->
// "result" received by the relay), 1,000 commands, next to a floor measured in the same run: a
// WebSocket ping/pong over the same TLS connection (the agent's socket answers it on the agent's
// event loop) plus the three durable writes the pipeline needs (ledger reserve, "received" and
// "succeeded" log records, each synced to disk).
#include "agent/Agent.h"
#include "core/DedupLedger.h"
#include "core/LocalForensicLog.h"
#include "core/Uuid.h"
#include "core/WireTime.h"
#include "platform/SettingsUserDefaults.h"
#include "sim/SimulatedMac.h"
#include "support/TestRelay.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <optional>
#include <vector>

namespace {

using namespace corvane;

constexpr const char* deviceID = "3f2504e0-4f89-41d3-9a0c-0305e82c3301";
constexpr int commands = 1000;

class PairedVault final : public CredentialVault {
public:
    Credentials load(bool) override {
        return {std::string("bench-device-token-0123456789abcdefghijklmno"), "bench-local", false};
    }
    std::optional<std::string> read(const std::string&) override { return std::nullopt; }
    void write(const std::string&, const std::string&) override {}
    void remove(const std::string&) override {}
    std::string replaceLocalToken() override { return "bench-local-2"; }
};

void spinUntil(const std::function<bool()>& condition) {
    while (!condition()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

JSON getState() {
    return JSON(JSON::Object{{"type", JSON("command")},
                             {"command_id", JSON(Uuid::make())},
                             {"action", JSON("get_state")},
                             {"params", JSON(JSON::Object{})},
                             {"expires_at", JSON(WireTime::text(std::chrono::system_clock::now() +
                                                                std::chrono::seconds(15)))}});
}

void BM_RelayGetStateRoundTrip(benchmark::State& state) {
    int argc = 1;
    char name[] = "bench";
    char* argv[] = {name, nullptr};
    std::optional<QCoreApplication> app;
    if (QCoreApplication::instance() == nullptr) {
        app.emplace(argc, argv);
    }
    QTemporaryDir home;
    const std::filesystem::path data = home.filePath(QStringLiteral("data")).toStdString();
    SettingsUserDefaults defaults(home.filePath(QStringLiteral("defaults.ini")));
    test::TestRelay relay;
    relay.approveEverything(deviceID);
    defaults.setString("relay", relay.origin());
    defaults.setString("device-id", deviceID);
    SimulatedMac mac(home.filePath(QStringLiteral("sim")),
                     SimulatedMac::Options{nullptr, &defaults});
    QFile scenario(QStringLiteral(CORVANE_DEFAULT_SCENARIO));
    scenario.open(QIODevice::ReadOnly);
    mac.load(scenario.readAll().toStdString());
    Agent::Options options;
    options.relayCertificates = test::TestRelay::authority();
    Agent agent(mac.platform(), std::make_shared<PairedVault>(),
                Agent::Paths{data, QStringLiteral(CORVANE_SCHEMA_PATH)}, options);
    bool started = false;
    [](Agent* a, bool* done) -> QCoro::Task<> {
        co_await a->startConnections(false);
        *done = true;
    }(&agent, &started);
    spinUntil([&] { return started && agent.online(); });
    test::TestRelaySession& session = *relay.latest();

    // Scratch files for the floor's writes, beside the agent's own.
    const std::filesystem::path scratch = home.filePath(QStringLiteral("floor")).toStdString();
    DedupLedger ledger(scratch / "dedup.json");
    LocalForensicLog log(scratch / "commands.jsonl");

    std::vector<double> trips;
    std::vector<double> floors;
    std::vector<double> echoes;
    std::vector<double> writes;
    QElapsedTimer clock;
    clock.start();
    for (auto _ : state) {
        for (int i = 0; i < commands; ++i) {
            const JSON command = getState();
            const std::size_t before = session.raw().size();
            const qint64 began = clock.nsecsElapsed();
            session.send(command);
            spinUntil([&] {
                return session.raw().size() >= before + 2 &&
                       session.raw().back().contains("\"result\"");
            });
            trips.push_back(double(clock.nsecsElapsed() - began) / 1e3);

            // The floor: one echo over the same connection, then the three writes.
            const int pongs = session.pongs();
            const qint64 echo = clock.nsecsElapsed();
            session.ping();
            spinUntil([&] { return session.pongs() > pongs; });
            const qint64 written = clock.nsecsElapsed();
            const auto now = std::chrono::system_clock::now();
            ledger.reserve(*command.stringMember("command_id"), now);
            log.append(command, "received", now);
            log.append(command, "succeeded", now);
            const qint64 end = clock.nsecsElapsed();
            floors.push_back(double(end - echo) / 1e3);
            echoes.push_back(double(written - echo) / 1e3);
            writes.push_back(double(end - written) / 1e3);
        }
    }
    state.counters["trip_p50_us"] = percentile(trips, 0.50);
    state.counters["trip_p99_us"] = percentile(trips, 0.99);
    state.counters["floor_p50_us"] = percentile(floors, 0.50);
    state.counters["floor_p99_us"] = percentile(floors, 0.99);
    state.counters["echo_p50_us"] = percentile(echoes, 0.50);
    state.counters["writes_p50_us"] = percentile(writes, 0.50);
    state.counters["p50_ratio"] = percentile(trips, 0.50) / percentile(floors, 0.50);
}

BENCHMARK(BM_RelayGetStateRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
