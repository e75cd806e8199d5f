#pragma once

#include "relay/EventSink.h"

#include <boost/asio/any_io_executor.hpp>

#include <atomic>
#include <memory>

namespace corvane {

class RelayHttpSession;

// An event stream's sink on the main thread: each chunk and the close are posted to the network
// thread, where the connection queues and writes them. The flag is shared with the connection,
// which sets it when it ends for reasons of its own.
class NetworkEventSink final : public EventSink {
public:
    NetworkEventSink(std::weak_ptr<RelayHttpSession> session, boost::asio::any_io_executor network,
                     std::shared_ptr<std::atomic<bool>> ended);
    ~NetworkEventSink() override;
    NetworkEventSink(const NetworkEventSink&) = delete;
    NetworkEventSink& operator=(const NetworkEventSink&) = delete;

    void send(std::string chunk) override;
    void close() override;
    bool open() const override { return !ended_->load(); }

private:
    std::weak_ptr<RelayHttpSession> session_;
    boost::asio::any_io_executor network_;
    std::shared_ptr<std::atomic<bool>> ended_;
};

} // namespace corvane
