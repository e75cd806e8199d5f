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
#include <map>
#include <memory>
#include <optional>

namespace corvane {

class LocalHTTPConnection;

// The loopback listening socket and its open connections, all on the server's socket thread (the
// serial queue). It accepts on its own descriptor rather than through QTcpServer so that running
// out of descriptors is handled here: accepting pauses and is tried again after a delay, instead
// of spinning on EMFILE (what Qt 6.4's QTcpServer does) or stopping for good.
//
// At most maxOpenConnections are open. When a newcomer finds them all taken, it wins: the oldest
// connection with the lowest stake (see LocalHTTPConnection::Stake) is closed to make room, so
// connections held open by any local process cannot lock callers out. Only when every open
// connection holds a request (which takes the token) is the newcomer closed unread. A connection
// that sends nothing is handed over by the kernel only after a second of silence, so a flood of
// them does not even queue ahead of a client that sends its request at once.
class LocalHTTPListener : public QObject {
public:
    static constexpr std::size_t maxOpenConnections = 64;

    struct Timing {
        // From acceptance to forced close, whatever the connection's state.
        std::chrono::milliseconds connectionLifetime;
        // Most time spent discarding what a peer still sends after its answer.
        std::chrono::milliseconds drainAfterAnswer;
        // Wait before accepting again after accept failed (descriptors exhausted, ...).
        std::chrono::milliseconds acceptRetryDelay;
    };

    // Called on this thread with each complete request; the answer comes back through respond().
    using RequestSink = std::function<void(quint64 id, JSON body)>;

    LocalHTTPListener(const LocalHTTPRequestReader::TokenHash& tokenHash, Timing timing,
                      RequestSink sink);
    ~LocalHTTPListener() override;

    LocalHTTPListener(const LocalHTTPListener&) = delete;
    LocalHTTPListener& operator=(const LocalHTTPListener&) = delete;

    // Binds 127.0.0.1:`port` (0 picks a free port) and listens without accepting yet. Throws
    // LocalHTTPServerError, carrying the failed call's errno, when it cannot.
    void open(quint16 port);
    quint16 port() const { return port_; }
    void startAccepting();
    // Closes the listening socket; open connections run to their end.
    void stopAccepting();

    // The handler's answer for connection `id`; dropped when that connection has ended.
    void respond(quint64 id, const std::optional<LocalHTTPResponse>& response);

    std::size_t openConnections() const { return connections_.size(); }
    // Accepts that failed for want of resources, for diagnostics.
    std::size_t failedAccepts() const { return failedAccepts_; }

private:
    void acceptPending();
    void adopt(int descriptor);
    bool makeRoom();
    void retryAccepting();

    LocalHTTPRequestReader::TokenHash tokenHash_;
    std::optional<LocalHTTPRequestReader> reader_;
    Timing timing_;
    RequestSink sink_;
    int descriptor_ = -1;
    quint16 port_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
    QTimer acceptRetry_;
    bool accepting_ = false;
    std::size_t failedAccepts_ = 0;
    bool failureReported_ = false;
    quint64 nextId_ = 1;
    // In order of acceptance (ids only grow).
    std::map<quint64, LocalHTTPConnection*> connections_;
};

} // namespace corvane
