#include "CorvaneNative/LocalHTTPListener.h"

#include "CorvaneNative/LocalHTTPConnection.h"

#include <QtDebug>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane {

namespace {

// Accepts per wake-up, so a burst of connections cannot starve reads on the open ones.
constexpr int maxAcceptsPerWake = 64;

QString systemError(const char* what, int error) {
    return QString::fromUtf8(what) + QStringLiteral(": ") +
           QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

LocalHTTPListener::LocalHTTPListener(const LocalHTTPRequestReader::TokenHash& tokenHash,
                                     std::chrono::milliseconds connectionLifetime,
                                     std::chrono::milliseconds acceptRetryDelay, RequestSink sink)
    : tokenHash_(tokenHash)
    , connectionLifetime_(connectionLifetime)
    , sink_(std::move(sink))
    , acceptRetry_(this) {
    acceptRetry_.setSingleShot(true);
    acceptRetry_.setInterval(acceptRetryDelay);
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

bool LocalHTTPListener::open(quint16 port, QString& error) {
    descriptor_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (descriptor_ < 0) {
        error = systemError("socket", errno);
        return false;
    }
    // A restarted agent must be able to bind again while old connections linger in TIME_WAIT.
    const int one = 1;
    ::setsockopt(descriptor_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(descriptor_, SOMAXCONN) < 0 ||
        ::getsockname(descriptor_, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
        error = systemError("bind", errno);
        ::close(descriptor_);
        descriptor_ = -1;
        return false;
    }
    port_ = ntohs(address.sin_port);
    // The host header must name the port actually bound.
    reader_.emplace(port_, tokenHash_);
    notifier_ = std::make_unique<QSocketNotifier>(descriptor_, QSocketNotifier::Read);
    notifier_->setEnabled(false);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &LocalHTTPListener::acceptPending);
    return true;
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
        const int accepted = ::accept4(descriptor_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (accepted >= 0) {
            failureReported_ = false;
            adopt(accepted);
            continue;
        }
        switch (errno) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return;
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
            continue; // that one connection is gone; the next may be fine
        default:
            // Out of descriptors or memory (EMFILE, ENFILE, ENOBUFS, ENOMEM) or worse: the pending
            // connection stays queued. Pause instead of spinning, and look again shortly.
            ++failedAccepts_;
            if (!failureReported_) {
                qWarning("Local command listener cannot accept: %s; retrying",
                         std::strerror(errno));
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

void LocalHTTPListener::adopt(int descriptor) {
    if (connections_.size() >= maxOpenConnections) {
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
    connections_.emplace(id, new LocalHTTPConnection(descriptor, id, *reader_, connectionLifetime_,
                                                     std::move(callbacks), this));
}

} // namespace corvane
