#pragma once

#include "relay/RelayRequestReader.h"
#include "relay/RelayTlsStream.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <atomic>
#include <deque>
#include <memory>
#include <string>

namespace corvane {

class RelayNetwork;

// One accepted connection until it ends or becomes a WebSocket: the TLS handshake under its time
// limit, then requests read as their bytes arrive, each handed to the main thread and answered in
// order; the connection stays open between requests unless either side says otherwise. An answer
// that is an event stream turns the connection into one for good: what the main thread sends
// waits in a bounded queue, and a browser that stops reading (its queue full, or one write
// taking longer than its limit) or sends anything is dropped. Holds a place in the network's
// admission while it lives. Network thread only.
class RelayHttpSession final : public std::enable_shared_from_this<RelayHttpSession> {
public:
    RelayHttpSession(boost::asio::ip::tcp::socket socket, boost::asio::ip::address remote,
                     boost::asio::ssl::context& tls, RelayNetwork& network);
    ~RelayHttpSession();
    RelayHttpSession(const RelayHttpSession&) = delete;
    RelayHttpSession& operator=(const RelayHttpSession&) = delete;

    // An event stream's unsent bytes beyond which its reader counts as gone.
    static constexpr std::size_t largestStreamQueue = 256 * 1024;
    // One write of an event stream must finish within this (keep-alives come every 15 s).
    static constexpr std::chrono::seconds streamWriteLimit{30};

    void start();
    // The main thread's answer to the request it was handed; `streamEnded` is set once an event
    // stream's connection ends (it is shared with the main thread's sink).
    void answer(const RelayHttpResponse& response,
                std::shared_ptr<std::atomic<bool>> streamEnded = nullptr);
    // An event stream's next events, and its end asked by the main thread.
    void push(std::string chunk);
    void endStream();

private:
    void readMore();
    void took(RelayRequestReader::State state);
    void upgradeToWebSocket();
    void write(QByteArray bytes, bool keepOpen);
    void shutDown();
    // Closes the connection unless the deadline is moved first.
    void closeAfter(std::chrono::steady_clock::duration limit);
    void writeStream();
    void watchPeer();

    RelayTlsStream stream_;
    boost::asio::steady_timer deadline_;
    boost::asio::ip::address remote_;
    RelayNetwork& network_;
    RelayRequestReader reader_;
    std::array<char, 4096> chunk_{};
    bool keepOpen_ = false;
    bool upgraded_ = false;
    // An event stream's state.
    std::shared_ptr<std::atomic<bool>> streamEnded_;
    std::deque<std::string> streamQueue_;
    std::size_t streamQueued_ = 0;
    bool streamWriting_ = false;
};

} // namespace corvane
