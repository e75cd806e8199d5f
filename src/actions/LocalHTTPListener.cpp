#include "actions/LocalHTTPListener.h"

#include "actions/LocalHTTPConnection.h"
#include "actions/LocalHTTPServerError.h"
#include "platform/SocketAccept.h"

#include <QtDebug>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane {

namespace {

// Accepts per wake-up, so a burst of connections cannot starve reads on the open ones. Well below
// the cap: a connection whose head arrives just after its acceptance is read between two wake-ups,
// long before the cap's worth of newer connections could push it out.
constexpr int maxAcceptsPerWake = 16;

[[noreturn]] void fail(const char* call, int error) {
    throw LocalHTTPServerError(std::string(call) + ": " + std::strerror(error), error);
}

} // namespace

LocalHTTPListener::LocalHTTPListener(const LocalHTTPRequestReader::TokenHash& tokenHash,
                                     Timing timing, RequestSink sink)
    : tokenHash_(tokenHash)
    , timing_(timing)
    , sink_(std::move(sink))
    , acceptRetry_(this) {
    acceptRetry_.setSingleShot(true);
    acceptRetry_.setInterval(timing.acceptRetryDelay);
    connect(&acceptRetry_, &QTimer::timeout, this, &LocalHTTPListener::retryAccepting);
}

LocalHTTPListener::~LocalHTTPListener() {
    stopAccepting();
    // Connections are children and close their descriptors as they go; none may report back
    // into a half-destroyed listener.
    for (auto& [id, connection] : connections_)
        delete connection;
    connections_.clear();
}

void LocalHTTPListener::open(quint16 port) {
    descriptor_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (descriptor_ < 0)
        fail("socket", errno);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    // A restarted agent must be able to bind again while old connections linger in TIME_WAIT.
    const int one = 1;
    // The kernel hands a connection over once its first bytes arrive, or after this much silence:
    // connections that never send cannot queue ahead of a client that sends its request at once.
    const int silenceSeconds = 1;
    const char* failed = nullptr;
    if (::setsockopt(descriptor_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
        ::setsockopt(descriptor_, IPPROTO_TCP, TCP_DEFER_ACCEPT, &silenceSeconds,
                     sizeof silenceSeconds) < 0)
        failed = "setsockopt";
    else if (::bind(descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0)
        failed = "bind";
    else if (::listen(descriptor_, SOMAXCONN) < 0)
        failed = "listen";
    else if (::getsockname(descriptor_, reinterpret_cast<sockaddr*>(&address), &length) < 0)
        failed = "getsockname";
    if (failed) {
        const int error = errno;
        ::close(descriptor_);
        descriptor_ = -1;
        fail(failed, error);
    }
    port_ = ntohs(address.sin_port);
    // The host header must name the port actually bound.
    reader_.emplace(port_, tokenHash_);
    notifier_ = std::make_unique<QSocketNotifier>(descriptor_, QSocketNotifier::Read);
    notifier_->setEnabled(false);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &LocalHTTPListener::acceptPending);
}

void LocalHTTPListener::startAccepting() {
    if (descriptor_ < 0 || accepting_)
        return;
    accepting_ = true;
    notifier_->setEnabled(true);
}

void LocalHTTPListener::stopAccepting() {
    accepting_ = false;
    acceptRetry_.stop();
    notifier_.reset();
    if (descriptor_ >= 0) {
        ::close(descriptor_);
        descriptor_ = -1;
    }
}

void LocalHTTPListener::respond(quint64 id, const std::optional<LocalHTTPResponse>& response) {
    const auto found = connections_.find(id);
    if (found != connections_.end())
        found->second->respond(response);
}

void LocalHTTPListener::acceptPending() {
    for (int i = 0; i < maxAcceptsPerWake && accepting_; ++i) {
        const SocketAccept::Result next = SocketAccept::next(descriptor_);
        switch (next.outcome) {
        case SocketAccept::Outcome::Accepted:
            failureReported_ = false;
            adopt(next.descriptor);
            continue;
        case SocketAccept::Outcome::Skipped:
            continue;
        case SocketAccept::Outcome::Drained:
            return;
        case SocketAccept::Outcome::Exhausted:
            // Pause instead of spinning on the queued connection, and look again shortly.
            ++failedAccepts_;
            if (!failureReported_) {
                qWarning("Local command listener cannot accept: %s; retrying",
                         std::strerror(next.error));
                failureReported_ = true;
            }
            notifier_->setEnabled(false);
            acceptRetry_.start();
            return;
        }
    }
}

void LocalHTTPListener::retryAccepting() {
    if (accepting_ && notifier_)
        notifier_->setEnabled(true);
}

bool LocalHTTPListener::makeRoom() {
    using Stake = LocalHTTPConnection::Stake;
    for (const Stake stake : {Stake::Answered, Stake::NoHead}) {
        const auto oldest =
            std::find_if(connections_.begin(), connections_.end(),
                         [stake](const auto& entry) { return entry.second->stake() == stake; });
        if (oldest != connections_.end()) {
            // Reports back through `finished`, which forgets it.
            oldest->second->close();
            return true;
        }
    }
    return false;
}

void LocalHTTPListener::adopt(int descriptor) {
    if (connections_.size() >= maxOpenConnections && !makeRoom()) {
        ::close(descriptor);
        return;
    }
    const quint64 id = nextId_++;
    LocalHTTPConnection::Callbacks callbacks;
    callbacks.accepted = [this](quint64 acceptedId, JSON body) {
        sink_(acceptedId, std::move(body));
    };
    callbacks.finished = [this](quint64 finishedId) {
        const auto found = connections_.find(finishedId);
        if (found == connections_.end())
            return;
        found->second->deleteLater();
        connections_.erase(found);
    };
    auto* connection =
        new LocalHTTPConnection(descriptor, id, *reader_, timing_.connectionLifetime,
                                timing_.drainAfterAnswer, std::move(callbacks), this);
    connections_.emplace(id, connection);
    // A client usually sends its request right after connecting, so it is often here already:
    // reading it now settles the head before later newcomers could push this connection out.
    connection->start();
}

} // namespace corvane
