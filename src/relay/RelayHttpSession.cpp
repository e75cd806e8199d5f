#include "relay/RelayHttpSession.h"

#include "relay/RelayNetwork.h"
#include "relay/RelayWebSocketSession.h"

#include <boost/asio/write.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace corvane {

namespace asio = boost::asio;

namespace {

constexpr std::chrono::seconds goodbyeLimit{5};

QHostAddress qtAddress(const asio::ip::address& address) {
    return QHostAddress(QString::fromStdString(address.to_string()));
}

RelayHttpResponse plain(int status) {
    RelayHttpResponse response;
    response.status = status;
    response.contentType = "text/plain; charset=utf-8";
    return response;
}

} // namespace

RelayHttpSession::RelayHttpSession(asio::ip::tcp::socket socket, asio::ip::address remote,
                                   asio::ssl::context& tls, RelayNetwork& network)
    : stream_(std::move(socket), tls)
    , deadline_(stream_.get_executor())
    , remote_(std::move(remote))
    , network_(network) {}

RelayHttpSession::~RelayHttpSession() {
    if (!upgraded_) {
        network_.admission().leave(remote_);
    }
}

void RelayHttpSession::start() {
    closeAfter(network_.limits().handshake);
    stream_.async_handshake([self = shared_from_this()](boost::system::error_code error) {
        if (!error) {
            self->closeAfter(self->network_.limits().silence);
            self->readMore();
        }
    });
}

void RelayHttpSession::closeAfter(std::chrono::steady_clock::duration limit) {
    deadline_.expires_after(limit);
    // A weak reference: a session that ended needs no deadline, and must not wait for one.
    deadline_.async_wait([weak = weak_from_this()](boost::system::error_code error) {
        const std::shared_ptr<RelayHttpSession> self = weak.lock();
        if (error || !self) {
            return;
        }
        boost::system::error_code ignored;
        self->stream_.next_layer().close(ignored);
    });
}

void RelayHttpSession::readMore() {
    stream_.async_read_some(
        asio::buffer(chunk_),
        [self = shared_from_this()](boost::system::error_code error, std::size_t size) {
            if (error) {
                return; // the peer left, or stayed silent too long
            }
            self->took(self->reader_.read(std::string_view(self->chunk_.data(), size)));
        });
}

void RelayHttpSession::took(RelayRequestReader::State state) {
    switch (state) {
    case RelayRequestReader::State::More:
        // The deadline stays: the whole request within the limit, however it is cut up, since a
        // trickle buys no time.
        readMore();
        return;
    case RelayRequestReader::State::Refused:
        write(plain(reader_.refusal()).wire(), false);
        return;
    case RelayRequestReader::State::Whole:
        break;
    }
    RelayHttpRequest request = reader_.request();
    if (request.path == QLatin1String("/v1/ws/device") && reader_.upgrade()) {
        upgradeToWebSocket();
        return;
    }
    request.remote = qtAddress(remote_);
    keepOpen_ = reader_.keepAlive();
    // No reading while the main thread answers: one request at a time, in order.
    deadline_.cancel();
    network_.request(shared_from_this(), std::move(request));
}

void RelayHttpSession::answer(const RelayHttpResponse& response,
                              std::shared_ptr<std::atomic<bool>> streamEnded) {
    if (!response.attach || !streamEnded) {
        write(response.wire(keepOpen_), keepOpen_);
        return;
    }
    streamEnded_ = std::move(streamEnded);
    if (streamEnded_->load()) {
        endStream(); // refused on the main thread after all
        return;
    }
    // A browser that vanished (a phone that lost its network) never closes: its keep-alives stay
    // unacknowledged, and the system ends the connection once they have been for this long.
    const auto unacknowledged =
        static_cast<unsigned int>(std::chrono::milliseconds(streamWriteLimit).count());
    setsockopt(stream_.next_layer().native_handle(), IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged,
               sizeof unacknowledged);
    watchPeer();
    push(response.wire().toStdString());
}

void RelayHttpSession::watchPeer() {
    // A browser sends nothing on an event stream: anything, or the end, ends it.
    stream_.async_read_some(
        asio::buffer(chunk_),
        [self = shared_from_this()](boost::system::error_code, std::size_t) { self->endStream(); });
}

void RelayHttpSession::push(std::string chunk) {
    if (!streamEnded_ || streamEnded_->load()) {
        return;
    }
    streamQueued_ += chunk.size();
    streamQueue_.push_back(std::move(chunk));
    if (streamQueued_ > largestStreamQueue) {
        endStream();
        return;
    }
    if (!streamWriting_) {
        writeStream();
    }
}

void RelayHttpSession::writeStream() {
    streamWriting_ = true;
    // A reader that stopped leaves the write pending: the limit ends it.
    closeAfter(streamWriteLimit);
    const std::string& next = streamQueue_.front();
    asio::async_write(stream_, asio::buffer(next.data(), next.size()),
                      [self = shared_from_this()](boost::system::error_code error, std::size_t) {
                          if (error || self->streamEnded_->load()) {
                              self->endStream();
                              return;
                          }
                          self->streamQueued_ -= self->streamQueue_.front().size();
                          self->streamQueue_.pop_front();
                          if (self->streamQueue_.empty()) {
                              self->streamWriting_ = false;
                              self->deadline_.cancel();
                              return;
                          }
                          self->writeStream();
                      });
}

void RelayHttpSession::endStream() {
    if (!streamEnded_) {
        return;
    }
    streamEnded_->store(true);
    deadline_.cancel();
    boost::system::error_code ignored;
    stream_.next_layer().close(ignored);
}

void RelayHttpSession::upgradeToWebSocket() {
    upgraded_ = true;
    deadline_.cancel();
    auto socket = std::make_shared<RelayWebSocketSession>(std::move(stream_), remote_,
                                                          network_.nextSocketId(), network_);
    socket->accept(reader_.message());
}

void RelayHttpSession::write(QByteArray bytes, bool keepOpen) {
    // The answer must leave, and the next request arrive whole, within the limit.
    closeAfter(network_.limits().silence);
    auto shared = std::make_shared<QByteArray>(std::move(bytes));
    asio::async_write(stream_, asio::buffer(shared->constData(), shared->size()),
                      [self = shared_from_this(), shared, keepOpen](boost::system::error_code error,
                                                                    std::size_t) {
                          if (error) {
                              return;
                          }
                          if (!keepOpen) {
                              self->shutDown();
                              return;
                          }
                          self->took(self->reader_.next());
                      });
}

void RelayHttpSession::shutDown() {
    // The answer carried its length, so a TCP half-close ends it unambiguously; waiting for the
    // peer's close_notify would hold the connection for clients that never send one.
    auto& tcp = stream_.next_layer();
    boost::system::error_code ignored;
    tcp.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    closeAfter(goodbyeLimit);
    tcp.async_wait(asio::ip::tcp::socket::wait_read,
                   [self = shared_from_this()](boost::system::error_code) {
                       boost::system::error_code ignored;
                       self->stream_.next_layer().close(ignored);
                   });
}

} // namespace corvane
