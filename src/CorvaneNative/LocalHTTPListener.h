#pragma once

#include "CorvaneCore/JSON.h"
#include "CorvaneNative/LocalHTTPRequestReader.h"
#include "CorvaneNative/LocalHTTPResponse.h"

#include <QString>
#include <QTcpServer>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>

namespace corvane {

class LocalHTTPConnection;

// The loopback listener and its open connections, all on the server's socket thread (the serial
// queue). It takes accepted descriptors itself, caps the number of open connections and re-arms
// accepting after a failed accept: QTcpServer pauses for good when accept fails, for example with
// EMFILE, while isListening() stays true.
class LocalHTTPListener : public QTcpServer {
public:
    // Connections beyond this many are closed at once, unread.
    static constexpr std::size_t maxOpenConnections = 64;

    // Called on this thread with each complete request; the answer comes back through respond().
    using RequestSink = std::function<void(quint64 id, JSON body)>;

    LocalHTTPListener(const LocalHTTPRequestReader::TokenHash& tokenHash,
                      std::chrono::milliseconds connectionLifetime,
                      std::chrono::milliseconds acceptRetryDelay, RequestSink sink);
    ~LocalHTTPListener() override;

    // Binds 127.0.0.1:`port` (0 picks a free port) and listens without accepting yet. On failure
    // returns false and fills `error`.
    bool open(quint16 port, QString& error);
    void startAccepting();
    // Closes the listening socket; open connections run to their end.
    void stopAccepting();

    // The handler's answer for connection `id`; dropped when that connection has ended.
    void respond(quint64 id, const std::optional<LocalHTTPResponse>& response);

    std::size_t openConnections() const { return connections_.size(); }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void acceptFailed(QAbstractSocket::SocketError error);
    void retryAccepting();

    std::optional<LocalHTTPRequestReader> reader_;
    LocalHTTPRequestReader::TokenHash tokenHash_;
    std::chrono::milliseconds connectionLifetime_;
    RequestSink sink_;
    QTimer acceptRetry_;
    bool accepting_ = false;
    bool acceptFailureReported_ = false;
    quint64 nextId_ = 1;
    std::map<quint64, LocalHTTPConnection*> connections_;
};

} // namespace corvane
