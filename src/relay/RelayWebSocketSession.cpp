#include "relay/RelayWebSocketSession.h"

#include "relay/RelayNetwork.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>

namespace corvane {

namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;

namespace {

// Past this a message's buffer is given back after the message, so idle devices stay small.
constexpr std::size_t keptBuffer = 4096;
constexpr int closeQueueFull = 1008;

} // namespace

RelayWebSocketSession::RelayWebSocketSession(RelayTlsStream stream, asio::ip::address remote,
                                             std::uint64_t id, RelayNetwork& network)
    : stream_(std::move(stream))
    , remote_(std::move(remote))
    , id_(id)
    , network_(network) {}

RelayWebSocketSession::~RelayWebSocketSession() {
    network_.admission().leave(remote_);
}

void RelayWebSocketSession::accept(const RelayRequestReader::Message& request) {
    stream_.read_message_max(largestMessage);
    stream_.auto_fragment(false);
    // The hub applies the hello and silence limits; the handshake limit also bounds a close that
    // the peer never answers.
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = network_.limits().handshake;
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    stream_.set_option(timeouts);
    stream_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
        response.set(boost::beast::http::field::server, "velto-relay");
    }));
    const auto header = request.find("X-Velto-Device-ID");
    std::string deviceHeader =
        header != request.end() ? std::string(header->value()) : std::string();
    stream_.async_accept(request,
                         [self = shared_from_this(), deviceHeader = std::move(deviceHeader)](
                             boost::system::error_code error) mutable {
                             if (error) {
                                 return;
                             }
                             self->network_.opened(self->id_, self, std::move(deviceHeader));
                             self->read();
                         });
}

void RelayWebSocketSession::read() {
    stream_.async_read(
        in_, [self = shared_from_this()](boost::system::error_code error, std::size_t) {
            if (error) {
                // Closed by either side, refused (too big, unmasked) or cut: the session is over.
                self->network_.ended(self->id_);
                return;
            }
            // Counted before the hand-off, so that its taking never runs ahead of it.
            const bool room = self->inFlight_.fetch_add(1) + 1 < largestInFlight;
            self->network_.received(self->id_, boost::beast::buffers_to_string(self->in_.data()));
            self->in_.consume(self->in_.size());
            if (self->in_.capacity() > keptBuffer) {
                self->in_.shrink_to_fit();
            }
            // Without room, reading waits until taken() makes some.
            if (room) {
                self->read();
            }
        });
}

void RelayWebSocketSession::send(std::string text) {
    asio::post(stream_.get_executor(),
               [self = shared_from_this(), text = std::move(text)]() mutable {
                   self->write(std::move(text));
               });
}

void RelayWebSocketSession::close(int code) {
    asio::post(stream_.get_executor(), [self = shared_from_this(), code] {
        if (!self->closeCode_) {
            self->closeCode_ = code;
            self->writeNext();
        }
    });
}

void RelayWebSocketSession::taken() {
    // Only the message that filled the hand-off stopped the reading.
    if (inFlight_.fetch_sub(1) == largestInFlight) {
        asio::post(stream_.get_executor(), [self = shared_from_this()] { self->read(); });
    }
}

void RelayWebSocketSession::release(std::shared_ptr<RelayWebSocketSession> socket) {
    if (socket) {
        const auto executor = socket->stream_.get_executor();
        asio::post(executor, [socket = std::move(socket)]() mutable { socket.reset(); });
    }
}

void RelayWebSocketSession::write(std::string text) {
    if (closeCode_) {
        return;
    }
    if (queued_ + text.size() > largestQueue) {
        // A peer that reads nothing gets no close handshake either.
        closeCode_ = closeQueueFull;
        drop();
        return;
    }
    queued_ += text.size();
    out_.push_back(std::move(text));
    writeNext();
}

void RelayWebSocketSession::writeNext() {
    if (writing_ || closing_) {
        return;
    }
    if (out_.empty()) {
        if (closeCode_) {
            closeNow(*closeCode_);
        }
        return;
    }
    writing_ = true;
    stream_.text(true);
    stream_.async_write(asio::buffer(out_.front()),
                        [self = shared_from_this()](boost::system::error_code error, std::size_t) {
                            self->writing_ = false;
                            self->queued_ -= self->out_.front().size();
                            self->out_.pop_front();
                            if (error) {
                                self->drop();
                                return;
                            }
                            self->writeNext();
                        });
}

void RelayWebSocketSession::closeNow(int code) {
    closing_ = true;
    stream_.async_close(websocket::close_reason(static_cast<std::uint16_t>(code)),
                        [self = shared_from_this()](boost::system::error_code error) {
                            if (error) {
                                self->drop();
                            }
                            // Otherwise the read ends once the peer's close frame arrives.
                        });
}

void RelayWebSocketSession::drop() {
    closing_ = true;
    boost::system::error_code ignored;
    boost::beast::get_lowest_layer(stream_).close(ignored);
}

} // namespace corvane
