#pragma once

#include "relay/RelayRequestReader.h"
#include "relay/RelayTlsStream.h"

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace corvane {

class RelayNetwork;

// One device's WebSocket on the network thread. A frame's header is read before its payload, so a
// message declared over 64 KiB is refused (1009) before any of it is buffered, and an unmasked
// frame ends the session (1002). Each message goes whole to the main thread, a few at a time; what
// the main thread sends waits in a bounded queue, and a peer that lets it fill up is dropped.
class RelayWebSocketSession final : public std::enable_shared_from_this<RelayWebSocketSession> {
public:
    static constexpr std::size_t largestMessage = 65536;
    // The hub has at most 32 commands of at most 64 KiB outstanding per device, plus its replies.
    static constexpr std::size_t largestQueue = 4 * 1024 * 1024;
    // Messages handed to the main thread and not yet taken; reading waits beyond this, so a peer
    // cannot fill the main thread's queue.
    static constexpr int largestInFlight = 4;

    using Stream = boost::beast::websocket::stream<RelayTlsStream>;

    RelayWebSocketSession(RelayTlsStream stream, boost::asio::ip::address remote, std::uint64_t id,
                          RelayNetwork& network);
    ~RelayWebSocketSession();
    RelayWebSocketSession(const RelayWebSocketSession&) = delete;
    RelayWebSocketSession& operator=(const RelayWebSocketSession&) = delete;

    // Network thread: answers the upgrade request, then reads.
    void accept(const RelayRequestReader::Message& request);

    // Any thread: queued for the network thread. Messages leave in order; close waits for them.
    void send(std::string text);
    void close(int code);
    // Any thread: the main thread has taken one message handed to it; reading resumes if it
    // waited for that.
    void taken();
    // Any thread: drops `socket` on the network thread, where a session may end.
    static void release(std::shared_ptr<RelayWebSocketSession> socket);

private:
    void read();
    void write(std::string text);
    void writeNext();
    void closeNow(int code);
    void drop();

    Stream stream_;
    boost::asio::ip::address remote_;
    std::uint64_t id_;
    RelayNetwork& network_;
    boost::beast::flat_buffer in_;
    std::deque<std::string> out_;
    std::size_t queued_ = 0;
    // Counted on both threads, so that taking a message needs no hand-off back unless reading
    // waits for it.
    std::atomic<int> inFlight_ = 0;
    bool writing_ = false;
    std::optional<int> closeCode_;
    bool closing_ = false;
};

} // namespace corvane
