// The relay's store, one round trip at a time as the relay makes them: a command's audit row
// written and then finished (the two writes every command costs), and a device looked up (what
// every device's hello costs), on SQLite in a temporary folder and on PostgreSQL over a Unix
// socket, both syncing their commits to the disk; then on a PostgreSQL that does not sync, which
// leaves the round trip itself. Prints p50, p90 and p99 in microseconds.
//
//   cmake --preset release && cmake --build --preset release --target relay_store_bench
//   build/release/bench/relay_store_bench [ROUND_TRIPS]
#include "PostgresServer.h"

#include "core/Uuid.h"
#include "relay/PostgresRelayStore.h"
#include "relay/SqliteRelayStore.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

using namespace corvane;
using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

void measure(const char* name, int rounds, const std::function<void()>& roundTrip) {
    for (int i = 0; i < rounds / 10; ++i) { // warm-up
        roundTrip();
    }
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(rounds));
    for (int i = 0; i < rounds; ++i) {
        const Clock::time_point start = Clock::now();
        roundTrip();
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::printf("%-54s p50 %8.1f us   p90 %8.1f us   p99 %8.1f us\n", name, percentile(micros, 0.5),
                percentile(micros, 0.9), percentile(micros, 0.99));
}

void run(const char* storeName, RelayStore& store, int rounds) {
    const auto now = std::chrono::system_clock::now();
    const std::string device = Uuid::make();
    const std::int64_t owner = *store.createAccount("owner", "$argon2id$bench");
    store.addAudit({"seed", owner, device, "get_state", "", now, std::nullopt});
    measure((std::string(storeName) + ": audit add + finish").c_str(), rounds, [&] {
        const std::string command = Uuid::make();
        store.addAudit({command, owner, device, "get_state", "", now, std::nullopt});
        store.finishAudit(command, "succeeded", now);
    });
    measure((std::string(storeName) + ": device lookup").c_str(), rounds,
            [&] { store.device(device); });
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(100, std::atoi(argv[1])) : 2000;

    QTemporaryDir folder;
    SqliteRelayStore sqlite(folder.filePath(QStringLiteral("relay.sqlite")));
    run("SQLite (WAL)", sqlite, rounds);

    for (const bool durable : {true, false}) {
        std::string why;
        const std::unique_ptr<test::PostgresServer> server =
            test::PostgresServer::start(why, durable);
        if (!server) {
            std::fprintf(stderr, "no PostgreSQL: %s\n", why.c_str());
            return 1;
        }
        PostgresRelayStore postgres(server->address(server->createDatabase()));
        run(durable ? "PostgreSQL (Unix socket)" : "PostgreSQL (Unix socket, no fsync)", postgres,
            rounds);
    }
    return 0;
}
