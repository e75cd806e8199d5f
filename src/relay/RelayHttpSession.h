#pragma once

#include "relay/RelayRequestReader.h"
#include "relay/RelayTlsStream.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <memory>

namespace corvane {

class RelayNetwork;

// One accepted connection until it ends or becomes a WebSocket: the TLS handshake under its time
// limit, then requests read as their bytes arrive, each handed to the main thread and answered in
// order; the connection stays open between requests unless either side says otherwise. Holds a
// place in the network's admission while it lives. Network thread only.
class RelayHttpSession final : public std::enable_shared_from_this<RelayHttpSession> {
public:
    RelayHttpSession(boost::asio::ip::tcp::socket socket, boost::asio::ip::address remote,
                     boost::asio::ssl::context& tls, RelayNetwork& network);
    ~RelayHttpSession();
    RelayHttpSession(const RelayHttpSession&) = delete;
    RelayHttpSession& operator=(const RelayHttpSession&) = delete;

    void start();
    // The main thread's answer to the request it was handed.
    void answer(const RelayHttpResponse& response);

private:
    void readMore();
    void took(RelayRequestReader::State state);
    void upgradeToWebSocket();
    void write(QByteArray bytes, bool keepOpen);
    void shutDown();
    // Closes the connection unless the deadline is moved first.
    void closeAfter(std::chrono::steady_clock::duration limit);

    RelayTlsStream stream_;
    boost::asio::steady_timer deadline_;
    boost::asio::ip::address remote_;
    RelayNetwork& network_;
    RelayRequestReader reader_;
    std::array<char, 4096> chunk_{};
    bool keepOpen_ = false;
    bool upgraded_ = false;
};

} // namespace corvane
