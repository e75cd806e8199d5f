#pragma once

#include "actions/LocalHTTPResponse.h"
#include "core/JSON.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <chrono>
#include <functional>
#include <optional>
#include <string_view>

namespace corvane {

class LocalHTTPListener;

// The Agent's local-command entry: a request body in, a status and a body out. Awaited on the
// thread the server lives on (the main thread). It is expected to answer every request; if it
// throws anyway, the connection is closed without an answer.
using LocalHTTPHandler = std::function<QCoro::Task<LocalHTTPResponse>(JSON)>;

// The loopback command server: "POST /v1/commands HTTP/1.1" on 127.0.0.1 with a bearer token.
// Sockets, parsing and the per-connection timers run on the server's own thread; each complete
// request is handed to this object's thread, where a coroutine awaits the handler and passes the
// answer back to be written. A slow handler holds only its own connection.
//
// Lifetime: the destructor stops the socket thread, closing every connection. Handler coroutines
// still running keep only a weak reference to the server, so they may finish after it is gone;
// their answers are then dropped.
class LocalHTTPServer : public QObject {
public:
    struct Options {
        // From acceptance to forced close, whatever the connection's state.
        std::chrono::milliseconds connectionLifetime{20000};
        // After an answer, how long what the client still sends is read and discarded (at most
        // 1 MiB) before closing, so that the client is not reset before it reads the answer.
        std::chrono::milliseconds drainAfterAnswer{2000};
        // Wait before accepting again after accept failed (descriptors exhausted, ...).
        std::chrono::milliseconds acceptRetryDelay{250};
    };

    // Binds 127.0.0.1:`port` at once (0 picks a free port, see port()) but accepts nothing before
    // start(). Only the SHA-256 of `token` is kept. Throws LocalHTTPServerError when the listener
    // cannot be created; its errorNumber() is EADDRINUSE when another program holds the port.
    LocalHTTPServer(quint16 port, std::string_view token, LocalHTTPHandler handler, Options options,
                    QObject* parent = nullptr);
    LocalHTTPServer(quint16 port, std::string_view token, LocalHTTPHandler handler,
                    QObject* parent = nullptr);
    ~LocalHTTPServer() override;

    LocalHTTPServer(const LocalHTTPServer&) = delete;
    LocalHTTPServer& operator=(const LocalHTTPServer&) = delete;

    // Starts accepting connections.
    void start();
    // Closes the listener for good; connections already open run to their end. A stopped server
    // does not start again: make a new one.
    void stop();
    // The bound port.
    quint16 port() const { return port_; }

private:
    void dispatch(quint64 id, JSON body);
    void deliver(quint64 id, std::optional<LocalHTTPResponse> response);
    static QCoro::Task<> serve(QPointer<LocalHTTPServer> server, LocalHTTPHandler handler,
                               quint64 id, JSON body);

    LocalHTTPHandler handler_;
    QThread thread_;
    LocalHTTPListener* listener_ = nullptr; // lives on thread_, deleted when it finishes
    quint16 port_ = 0;
    bool stopped_ = false;
};

} // namespace corvane
