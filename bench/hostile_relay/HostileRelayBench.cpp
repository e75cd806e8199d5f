// Figures, not a check: the agent's relay socket against a relay that tries to make it hold data.
// Run by hand (its own program; one attack per run, since the peak figure is per process):
//   cmake --build --preset release -j2 --target hostile_relay_bench
//   build/release/bench/hostile_relay_bench frame   # a frame declaring 1.5 GiB, then 300 MiB of it
//   build/release/bench/hostile_relay_bench queue   # 1,500 messages of 60 KB, none taken
// In the dev build run it with ASAN_OPTIONS=quarantine_size_mb=0, or freed memory held back by the
// sanitizer counts as resident.
// The relay (the tests' TLS relay, in this process) writes only as fast as the socket drains, so
// the figures are the agent side's: resident memory once the session is open, at its peak, and
// whether the session was still open at the end.
#include "agent/RelayClient.h"
#include "agent/WebSocketRelaySocket.h"
#include "core/SystemClock.h"
#include "support/TestRelay.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkRequest>
#include <QThread>

#include <cstdio>
#include <functional>
#include <string>

namespace {

using namespace corvane;

// A line of /proc/self/status in MiB ("VmRSS", "VmHWM").
double statusMiB(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field)) {
            return line.mid(line.indexOf(':') + 1).trimmed().split(' ').front().toDouble() / 1024.0;
        }
    }
    return -1;
}

void spinUntil(const std::function<bool()>& condition) {
    while (!condition()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

QCoro::Task<> opening(WebSocketRelaySocket* socket, QNetworkRequest request, bool* done) {
    co_await socket->open(request);
    *done = true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::string attack = argc > 1 ? argv[1] : "";
    if (attack != "frame" && attack != "queue") {
        std::fprintf(stderr, "usage: hostile_relay_bench frame|queue\n");
        return 2;
    }
    SystemClock clock;
    test::TestRelay relay;
    WebSocketRelaySocket socket(RelayClient::trusting(test::TestRelay::authority()), clock);
    QNetworkRequest request(QUrl(QString::fromStdString(
        "wss://127.0.0.1:" + std::to_string(relay.port()) + "/v1/ws/device")));
    bool open = false;
    opening(&socket, request, &open);
    spinUntil([&] { return open && relay.latest() != nullptr; });
    test::TestRelaySession& session = *relay.latest();
    const double before = statusMiB("VmRSS");

    // Writes `total` bytes from `next`, keeping at most 4 MiB unsent on the relay's side.
    const auto stream = [&](qint64 total, const std::function<qint64()>& next) {
        qint64 sent = 0;
        QElapsedTimer timer;
        timer.start();
        while (sent < total && !session.ended() && timer.elapsed() < 120000) {
            if (session.unsentBytes() < 4 * 1024 * 1024) {
                sent += next();
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        }
        return sent;
    };
    qint64 sent = 0;
    if (attack == "frame") {
        // Binary, final, 64-bit length 1.5 GiB; then 300 MiB of its payload.
        QByteArray header("\x82\x7F", 2);
        const quint64 declared = 1536ULL * 1024 * 1024;
        for (int shift = 56; shift >= 0; shift -= 8) {
            header += char((declared >> shift) & 0xFF);
        }
        session.sendRaw(header);
        const QByteArray chunk(1024 * 1024, 'x');
        sent = stream(300LL * 1024 * 1024, [&] {
            session.sendRaw(chunk);
            return chunk.size();
        });
    } else {
        const QString message = QStringLiteral("{\"type\":\"padding\",\"p\":\"") +
                                QString(60000, u'p') + QStringLiteral("\"}");
        sent = stream(1500LL * 60025, [&] {
            session.sendText(message);
            return qint64(message.size());
        });
    }
    // Let what is in flight arrive.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 2000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    std::printf("attack %s: relay wrote %.1f MiB; agent RSS %.1f MiB open, %.1f MiB now, peak "
                "%.1f MiB; session %s (%s)\n",
                attack.c_str(), double(sent) / 1048576.0, before, statusMiB("VmRSS"),
                statusMiB("VmHWM"), socket.endReason().empty() ? "still open" : "ended",
                socket.endReason().c_str());
    return 0;
}
