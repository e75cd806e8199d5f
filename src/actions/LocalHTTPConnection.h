#pragma once

#include "actions/LocalHTTPRequestReader.h"
#include "actions/LocalHTTPResponse.h"
#include "core/JSON.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace corvane {

// One accepted loopback connection, living on the server's socket thread. It owns the descriptor
// directly rather than through QTcpSocket, because QTcpSocket closes the whole connection when the
// peer half-closes, and a peer that has finished sending must still get its answer. It reads at
// most one request, asks the reader what to do, and writes one answer; whatever happens it is
// closed when its lifetime runs out.
//
// After an answer it closes its sending side and reads and discards what the peer still sends
// (bounded in bytes and time) before closing: closing with unread bytes would reset the
// connection, and a peer still sending its request would then lose the answer.
class LocalHTTPConnection : public QObject {
public:
    struct Callbacks {
        // A complete request; the answer comes back through respond().
        std::function<void(quint64 id, JSON body)> accepted;
        // The descriptor is closed; the listener forgets the connection and deletes it later.
        std::function<void(quint64 id)> finished;
    };

    // What closing this connection early would cost, least first: the listener makes room for a
    // newcomer by closing the oldest connection with the lowest stake.
    enum class Stake {
        Answered, // its answer is written; only the discarding of late bytes is cut short
        NoHead,   // has not delivered a complete request head (the peer may never send one)
        Request,  // holds a request: complete head read, handler awaited or answer being written
    };

    // Most bytes read and discarded after an answer.
    static constexpr std::size_t maxDrainBytes = 1024 * 1024;

    // Takes ownership of `descriptor`, an accepted stream socket. `reader` must outlive this.
    // `drainTime` bounds the discarding of late bytes after an answer.
    LocalHTTPConnection(int descriptor, quint64 id, const LocalHTTPRequestReader& reader,
                        std::chrono::milliseconds lifetime, std::chrono::milliseconds drainTime,
                        Callbacks callbacks, QObject* parent = nullptr);
    ~LocalHTTPConnection() override;

    LocalHTTPConnection(const LocalHTTPConnection&) = delete;
    LocalHTTPConnection& operator=(const LocalHTTPConnection&) = delete;

    // Reads what has already arrived. Called once the listener knows the connection, since it may
    // finish (and report so) at once.
    void start();
    // The handler's answer; absent closes the connection without one. Ignored unless a request
    // was accepted and is still waiting.
    void respond(const std::optional<LocalHTTPResponse>& response);
    Stake stake() const;
    // Closes at once, without an answer.
    void close() { finish(); }

private:
    enum class State { Reading, AwaitingHandler, Writing, Draining, Finished };

    void onReadable();
    void onWritable();
    void consider();
    void send(std::string bytes);
    void drain();
    void discard();
    void finish();

    int descriptor_;
    quint64 id_;
    const LocalHTTPRequestReader& reader_;
    Callbacks callbacks_;
    State state_ = State::Reading;
    QSocketNotifier readNotifier_;
    QSocketNotifier writeNotifier_;
    QTimer lifetime_;
    QTimer drainTime_;

    std::string received_;
    bool peerFinished_ = false;
    // The head is searched only in bytes not yet searched, so a peer that trickles bytes costs
    // linear time, and the reader is asked again only once its answer can have changed.
    bool headSettled_ = false;
    std::size_t scanFrom_ = 0;
    std::size_t needBytes_ = 0;

    std::string outgoing_;
    std::size_t sent_ = 0;
    std::size_t drained_ = 0;
};

} // namespace corvane
