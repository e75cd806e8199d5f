#pragma once

#include "CorvaneCore/JSON.h"
#include "CorvaneNative/LocalHTTPRequestReader.h"
#include "CorvaneNative/LocalHTTPResponse.h"

#include <QObject>
#include <QSocketNotifier>
#include <QString>
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
class LocalHTTPListener : public QObject {
public:
    // Connections beyond this many are closed at once, unread.
    static constexpr std::size_t maxOpenConnections = 64;

    // Called on this thread with each complete request; the answer comes back through respond().
    using RequestSink = std::function<void(quint64 id, JSON body)>;

    LocalHTTPListener(const LocalHTTPRequestReader::TokenHash& tokenHash,
                      std::chrono::milliseconds connectionLifetime,
                      std::chrono::milliseconds acceptRetryDelay, RequestSink sink);
    ~LocalHTTPListener() override;

    LocalHTTPListener(const LocalHTTPListener&) = delete;
    LocalHTTPListener& operator=(const LocalHTTPListener&) = delete;

    // Binds 127.0.0.1:`port` (0 picks a free port) and listens without accepting yet. On failure
    // returns false and fills `error`.
    bool open(quint16 port, QString& error);
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
    void retryAccepting();

    LocalHTTPRequestReader::TokenHash tokenHash_;
    std::optional<LocalHTTPRequestReader> reader_;
    std::chrono::milliseconds connectionLifetime_;
    RequestSink sink_;
    int descriptor_ = -1;
    quint16 port_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
    QTimer acceptRetry_;
    bool accepting_ = false;
    std::size_t failedAccepts_ = 0;
    bool failureReported_ = false;
    quint64 nextId_ = 1;
    std::map<quint64, LocalHTTPConnection*> connections_;
};

} // namespace corvane
