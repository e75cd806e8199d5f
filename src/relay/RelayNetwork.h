#pragma once

#include "relay/RelayAdmission.h"
#include "relay/RelayHttp.h"

#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <qcoro/qcorotask.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace corvane {

class RelayHttpSession;
class RelayWebSocketSession;
class NetworkDeviceLink;

// The relay's sockets on a thread of their own: it accepts TCP, runs each TLS handshake under its
// own time limit, reads HTTP requests and WebSocket frames as they arrive (Boost.Asio over
// OpenSSL, Beast for HTTP and WebSocket framing), and hands whole requests and whole messages to
// the main thread, where the handler and the links run; their answers go back to the network
// thread. "/v1/ws/device" upgrades to a WebSocket; everything else is HTTP with keep-alive.
//
// The main thread owns this object; the network thread only ever reaches it through the methods
// marked as its own, which queue their work for the main thread.
class RelayNetwork final : public QObject {
public:
    struct Limits {
        std::chrono::milliseconds handshake = std::chrono::seconds(10);
        // A request must arrive whole within this of the previous answer (or the handshake).
        std::chrono::milliseconds silence = std::chrono::seconds(20);
        std::size_t perAddress = 256;
        std::size_t total = 20000;
    };

    // Answers a request on the main thread; it may wait (storage, password hashing) without
    // holding that thread.
    using Handler = std::function<QCoro::Task<RelayHttpResponse>(RelayHttpRequest)>;
    // A device's WebSocket is open; returns the link that takes its messages.
    using Upgraded = std::function<std::unique_ptr<NetworkDeviceLink>(
        std::shared_ptr<RelayWebSocketSession> socket, const std::string& deviceHeader)>;

    RelayNetwork(const QSslConfiguration& tls, Handler handler, Upgraded upgraded, Limits limits,
                 QObject* parent = nullptr);
    ~RelayNetwork() override;

    // Listens on `address` (an unspecified IPv6 address takes IPv4 too); returns the port, 0 when
    // it cannot. Starts the network thread at the first success.
    quint16 listen(const QHostAddress& address, quint16 port);

    // Network thread: a whole request of `session`, answered on the main thread.
    void request(std::shared_ptr<RelayHttpSession> session, RelayHttpRequest request);
    // Network thread: a WebSocket opened, received one message, or ended.
    void opened(std::uint64_t id, std::shared_ptr<RelayWebSocketSession> socket,
                std::string deviceHeader);
    void received(std::uint64_t id, std::string message);
    void ended(std::uint64_t id);

    // Main thread: waits (running the event loop) until no handler is under way, so that what
    // they use may go next.
    void drain();

    // Network thread.
    std::uint64_t nextSocketId() noexcept { return ++lastSocketId_; }
    RelayAdmission& admission() noexcept { return admission_; }
    const Limits& limits() const noexcept { return limits_; }

private:
    QCoro::Task<> answer(std::shared_ptr<RelayHttpSession> session, RelayHttpRequest request);
    void accept(boost::asio::ip::tcp::acceptor& acceptor);
    void trimLater();
    // Keeps Asio's pool of per-socket reactor entries ahead of the open connections.
    void reserveReactorEntries();

    Handler handler_;
    Upgraded upgraded_;
    Limits limits_;
    // Declared before the io_context: sessions its handlers still hold use them as they go.
    boost::asio::ssl::context tls_;
    RelayAdmission admission_;
    std::uint64_t lastSocketId_ = 0;
    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    std::vector<std::unique_ptr<boost::asio::ip::tcp::acceptor>> acceptors_;
    boost::asio::steady_timer trim_;
    std::size_t mostOpen_ = 0; // connections at most since the last trim
    std::size_t reserved_ = 0; // reactor entries made ahead
    std::map<std::uint64_t, std::unique_ptr<NetworkDeviceLink>> links_; // main thread
    std::size_t answering_ = 0;                                         // main thread
    std::thread thread_;
};

} // namespace corvane
