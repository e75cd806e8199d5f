#include "DeviceFleet.h"

#include "DeviceMessages.h"

#include "core/Envelope.h"
#include "core/JSON.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <chrono>
#include <deque>
#include <functional>
#include <random>

namespace corvane::bench {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using tcp = asio::ip::tcp;

class DeviceFleet::Device : public std::enable_shared_from_this<Device> {
public:
    using Opened = std::function<void(bool, const std::string&)>;

    Device(asio::io_context& io, asio::ssl::context& tls, const Options& options, Paired paired,
           Opened opened)
        : socket_(io, tls)
        , heartbeat_(io)
        , options_(options)
        , paired_(std::move(paired))
        , opened_(std::move(opened)) {}

    void start() {
        auto& raw = beast::get_lowest_layer(socket_);
        beast::error_code error;
        raw.open(tcp::v4(), error);
        if (!error) {
            raw.bind(tcp::endpoint(asio::ip::make_address(options_.source), 0), error);
        }
        if (error) {
            return fail("bind", error);
        }
        raw.async_connect(
            tcp::endpoint(asio::ip::make_address(options_.relayAddress), options_.port),
            [self = shared_from_this()](beast::error_code e) { self->connected(e); });
    }

private:
    void connected(beast::error_code error) {
        if (error) {
            return fail("connect", error);
        }
        socket_.next_layer().async_handshake(
            asio::ssl::stream_base::client,
            [self = shared_from_this()](beast::error_code e) { self->secured(e); });
    }

    void secured(beast::error_code error) {
        if (error) {
            return fail("TLS", error);
        }
        socket_.set_option(
            websocket::stream_base::decorator([id = paired_.id](websocket::request_type& request) {
                request.set("X-Velto-Device-ID", id);
            }));
        socket_.async_handshake(
            options_.relayAddress + ":" + std::to_string(options_.port), "/v1/ws/device",
            [self = shared_from_this()](beast::error_code e) { self->upgraded(e); });
    }

    void upgraded(beast::error_code error) {
        if (error) {
            return fail("upgrade", error);
        }
        socket_.text(true);
        send(test::helloWith(paired_.token).data());
        read();
    }

    void read() {
        socket_.async_read(buffer_, [self = shared_from_this()](beast::error_code e, std::size_t) {
            self->received(e);
        });
    }

    void received(beast::error_code error) {
        if (error) {
            return fail("read", error);
        }
        const JSON message = JSON::parse(beast::buffers_to_string(buffer_.data()));
        buffer_.consume(buffer_.size());
        const std::string* type = message.stringMember("type");
        if (type != nullptr && *type == "ready" && opened_) {
            const Opened opened = std::move(opened_);
            opened_ = nullptr;
            opened(true, {});
            // Heartbeats spread over the interval, as computers that came online at random.
            beatIn(std::chrono::milliseconds(std::random_device()() % 20000));
        } else if (type != nullptr && *type == "command") {
            const std::string id = *message.stringMember("command_id");
            send(envelope("delivered", JSON::Object{{"command_id", JSON(id)}}).data());
            send(envelope("result", successResult(id, JSON(JSON::Object{}))).data());
        }
        read();
    }

    void beatIn(std::chrono::milliseconds delay) {
        heartbeat_.expires_after(delay);
        heartbeat_.async_wait([self = shared_from_this()](beast::error_code e) {
            if (e) {
                return;
            }
            self->send(
                envelope("heartbeat", JSON::Object{{"capabilities", test::capabilities()}}).data());
            self->beatIn(std::chrono::seconds(20));
        });
    }

    // One write at a time on a WebSocket: the rest wait their turn.
    void send(std::string text) {
        queue_.push_back(std::move(text));
        if (queue_.size() == 1) {
            writeFront();
        }
    }

    void writeFront() {
        socket_.async_write(asio::buffer(queue_.front()),
                            [self = shared_from_this()](beast::error_code e, std::size_t) {
                                if (e) {
                                    return self->fail("write", e);
                                }
                                self->queue_.pop_front();
                                if (!self->queue_.empty()) {
                                    self->writeFront();
                                }
                            });
    }

    void fail(const char* step, beast::error_code error) {
        heartbeat_.cancel();
        if (opened_) {
            const Opened opened = std::move(opened_);
            opened_ = nullptr;
            opened(false, std::string(step) + ": " + error.message());
        }
    }

    websocket::stream<asio::ssl::stream<tcp::socket>> socket_;
    asio::steady_timer heartbeat_;
    const Options options_;
    Paired paired_;
    Opened opened_;
    beast::flat_buffer buffer_;
    std::deque<std::string> queue_;
};

DeviceFleet::DeviceFleet(asio::io_context& io, Options options, std::vector<Paired> devices)
    : io_(io)
    , tls_(asio::ssl::context::tls_client)
    , options_(std::move(options))
    , devices_(std::move(devices)) {
    tls_.set_verify_mode(asio::ssl::verify_none);
}

DeviceFleet::~DeviceFleet() = default;

void DeviceFleet::start() {
    for (std::size_t i = 0; i < options_.opening; ++i) {
        openNext();
    }
}

void DeviceFleet::openNext() {
    if (next_ >= devices_.size()) {
        return;
    }
    auto device =
        std::make_shared<Device>(io_, tls_, options_, devices_[next_++],
                                 [this](bool ok, const std::string& why) { opened(ok, why); });
    live_.push_back(device);
    device->start();
}

void DeviceFleet::opened(bool ok, const std::string& why) {
    if (ok) {
        ++ready_;
    } else {
        ++failed_;
        if (firstFailure_.empty()) {
            firstFailure_ = why;
        }
    }
    openNext();
}

} // namespace corvane::bench
