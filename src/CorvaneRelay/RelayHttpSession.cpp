#include "CorvaneRelay/RelayHttpSession.h"

#include "CorvaneRelay/RelayNetwork.h"
#include "CorvaneRelay/RelayWebSocketSession.h"

#include <boost/asio/write.hpp>

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
    : stream_(boost::beast::tcp_stream(std::move(socket)), tls)
    , remote_(std::move(remote))
    , network_(network) {}

RelayHttpSession::~RelayHttpSession() {
    if (!upgraded_) {
        network_.admission().leave(remote_);
    }
}

void RelayHttpSession::start() {
    boost::beast::get_lowest_layer(stream_).expires_after(network_.limits().handshake);
    stream_.async_handshake(asio::ssl::stream_base::server,
                            [self = shared_from_this()](boost::system::error_code error) {
                                if (!error) {
                                    self->readMore();
                                }
                            });
}

void RelayHttpSession::readMore() {
    // The whole request within the limit, however it is cut up: a trickle buys no time.
    boost::beast::get_lowest_layer(stream_).expires_after(network_.limits().silence);
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
    boost::beast::get_lowest_layer(stream_).expires_never();
    network_.request(shared_from_this(), std::move(request));
}

void RelayHttpSession::answer(const RelayHttpResponse& response) {
    write(response.wire(keepOpen_), keepOpen_);
}

void RelayHttpSession::upgradeToWebSocket() {
    upgraded_ = true;
    boost::beast::get_lowest_layer(stream_).expires_never();
    auto socket = std::make_shared<RelayWebSocketSession>(std::move(stream_), remote_,
                                                          network_.nextSocketId(), network_);
    socket->accept(reader_.message());
}

void RelayHttpSession::write(QByteArray bytes, bool keepOpen) {
    boost::beast::get_lowest_layer(stream_).expires_after(network_.limits().silence);
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
    auto& tcp = boost::beast::get_lowest_layer(stream_);
    boost::system::error_code ignored;
    tcp.socket().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    tcp.expires_after(goodbyeLimit);
    tcp.async_read_some(asio::buffer(chunk_),
                        [self = shared_from_this()](boost::system::error_code, std::size_t) {
                            boost::system::error_code ignored;
                            boost::beast::get_lowest_layer(self->stream_).socket().close(ignored);
                        });
}

} // namespace corvane
