// One request after another through real loopback sockets to a server whose handler answers at
// once: what the server itself costs per command (accept, read, parse, hop to the main thread and
// back, write, close).
#include "actions/LocalHTTPServer.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using corvane::JSON;
using corvane::LocalHTTPResponse;
using corvane::LocalHTTPServer;

constexpr std::string_view token = "bench-token";

QCoro::Task<LocalHTTPResponse> answer(JSON) {
    co_return LocalHTTPResponse{200, JSON::Object{{"ok", true}}};
}

// Sends `request` and reads until the server closes, running the event loop meanwhile (the
// handler runs on this thread). Returns the bytes received.
std::string roundTrip(quint16 port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string received;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        QEventLoop loop;
        QSocketNotifier notifier(fd, QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, &loop, [&] {
            char buffer[4096];
            const ssize_t count = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (count > 0) {
                received.append(buffer, static_cast<std::size_t>(count));
            } else if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
                notifier.setEnabled(false);
                loop.quit();
            }
        });
        QTimer::singleShot(5s, &loop, &QEventLoop::quit);
        loop.exec();
    }
    ::close(fd);
    return received;
}

void BM_LocalHTTPServerRoundTrip(benchmark::State& state) {
    std::optional<QCoreApplication> app;
    int argc = 1;
    char name[] = "corvane_bench";
    char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        app.emplace(argc, argv);

    LocalHTTPServer server(0, token, answer);
    server.start();
    const quint16 port = server.port();
    const std::string body = R"({"action":"type_text","params":{"text":")" +
                             std::string(static_cast<std::size_t>(state.range(0)), 'x') + R"("}})";
    const std::string request =
        "POST /v1/commands HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nAuthorization: Bearer " + std::string(token) + "\r\n\r\n" + body;

    std::vector<double> micros;
    for (auto _ : state) {
        const auto begin = std::chrono::steady_clock::now();
        const std::string reply = roundTrip(port, request);
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin)
                .count());
        if (reply.compare(0, 13, "HTTP/1.1 200 ") != 0) {
            state.SkipWithError("request failed");
            break;
        }
    }
    if (!micros.empty()) {
        std::sort(micros.begin(), micros.end());
        auto percentile = [&](double p) {
            return micros[std::min(micros.size() - 1, static_cast<std::size_t>(p * micros.size()))];
        };
        state.counters["p50_us"] = percentile(0.50);
        state.counters["p99_us"] = percentile(0.99);
        state.counters["requests_per_s"] = benchmark::Counter(
            static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    }
}
// A small command, and one near the 60000-byte body limit.
BENCHMARK(BM_LocalHTTPServerRoundTrip)->Arg(16)->Arg(59900)->UseRealTime();

} // namespace
