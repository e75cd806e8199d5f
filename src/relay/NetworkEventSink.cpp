#include "relay/NetworkEventSink.h"

#include "relay/RelayHttpSession.h"

#include <boost/asio/post.hpp>

namespace corvane {

NetworkEventSink::NetworkEventSink(std::weak_ptr<RelayHttpSession> session,
                                   boost::asio::any_io_executor network,
                                   std::shared_ptr<std::atomic<bool>> ended)
    : session_(std::move(session))
    , network_(std::move(network))
    , ended_(std::move(ended)) {}

NetworkEventSink::~NetworkEventSink() {
    close();
}

void NetworkEventSink::send(std::string chunk) {
    if (ended_->load()) {
        return;
    }
    boost::asio::post(network_, [session = session_, chunk = std::move(chunk)]() mutable {
        if (const std::shared_ptr<RelayHttpSession> alive = session.lock()) {
            alive->push(std::move(chunk));
        }
    });
}

void NetworkEventSink::close() {
    if (ended_->exchange(true)) {
        return;
    }
    boost::asio::post(network_, [session = session_] {
        if (const std::shared_ptr<RelayHttpSession> alive = session.lock()) {
            alive->endStream();
        }
    });
}

} // namespace corvane
