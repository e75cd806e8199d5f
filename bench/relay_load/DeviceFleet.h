#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvane::bench {

// Many light simulated computers on one Asio thread: each says hello over its own TLS WebSocket,
// heartbeats every 20 seconds and answers every command at once. Each socket is bound to
// `source` before it connects, so that fleets on different loopback addresses (127.0.0.x) do not
// share one address's ports. Epoll, unlike a Qt event loop polling every socket, keeps the cost
// of one more device off the others' answers.
class DeviceFleet {
public:
    struct Options {
        std::string relayAddress = "127.0.0.1";
        std::uint16_t port = 0;
        std::string source = "127.0.0.1";
        // How many handshakes are under way at once.
        std::size_t opening = 64;
    };
    struct Paired {
        std::string id;
        std::string token;
    };

    DeviceFleet(boost::asio::io_context& io, Options options, std::vector<Paired> devices);
    ~DeviceFleet();
    DeviceFleet(const DeviceFleet&) = delete;
    DeviceFleet& operator=(const DeviceFleet&) = delete;

    void start();
    std::size_t ready() const { return ready_; }
    std::size_t failed() const { return failed_; }
    std::size_t size() const { return devices_.size(); }
    const std::string& firstFailure() const { return firstFailure_; }

private:
    class Device;
    void openNext();
    void opened(bool ok, const std::string& why);

    boost::asio::io_context& io_;
    boost::asio::ssl::context tls_;
    Options options_;
    std::vector<Paired> devices_;
    std::vector<std::shared_ptr<Device>> live_;
    std::size_t next_ = 0;
    std::size_t ready_ = 0;
    std::size_t failed_ = 0;
    std::string firstFailure_;
};

} // namespace corvane::bench
