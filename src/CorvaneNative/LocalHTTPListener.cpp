#include "CorvaneNative/LocalHTTPListener.h"

#include "CorvaneNative/LocalHTTPConnection.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QtDebug>

#include <fcntl.h>
#include <unistd.h>

namespace corvane {

LocalHTTPListener::LocalHTTPListener(const LocalHTTPRequestReader::TokenHash& tokenHash,
                                     std::chrono::milliseconds connectionLifetime,
                                     std::chrono::milliseconds acceptRetryDelay, RequestSink sink)
    : tokenHash_(tokenHash)
    , connectionLifetime_(connectionLifetime)
    , sink_(std::move(sink))
    , acceptRetry_(this) {
    // Descriptors are used natively, so no proxy may stand in between.
    setProxy(QNetworkProxy::NoProxy);
    acceptRetry_.setSingleShot(true);
    acceptRetry_.setInterval(acceptRetryDelay);
    connect(&acceptRetry_, &QTimer::timeout, this, &LocalHTTPListener::retryAccepting);
    connect(this, &QTcpServer::acceptError, this, &LocalHTTPListener::acceptFailed);
}

LocalHTTPListener::~LocalHTTPListener() {
    // Connections are children and close their descriptors as they go; make sure none reports
    // back into a half-destroyed listener.
    for (auto& [id, connection] : connections_)
        delete connection;
    connections_.clear();
}

bool LocalHTTPListener::open(quint16 port, QString& error) {
    if (!listen(QHostAddress(QHostAddress::LocalHost), port)) {
        error = errorString();
        return false;
    }
    pauseAccepting();
    // The host header names the port actually bound.
    reader_.emplace(serverPort(), tokenHash_);
    return true;
}

void LocalHTTPListener::startAccepting() {
    if (!isListening() || accepting_)
        return;
    accepting_ = true;
    resumeAccepting();
}

void LocalHTTPListener::stopAccepting() {
    accepting_ = false;
    acceptRetry_.stop();
    close();
}

void LocalHTTPListener::respond(quint64 id, const std::optional<LocalHTTPResponse>& response) {
    const auto found = connections_.find(id);
    if (found != connections_.end())
        found->second->respond(response);
}

void LocalHTTPListener::incomingConnection(qintptr descriptor) {
    const int fd = static_cast<int>(descriptor);
    acceptFailureReported_ = false;
    if (connections_.size() >= maxOpenConnections || !reader_) {
        ::close(fd);
        return;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        ::close(fd);
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
    connections_.emplace(id, new LocalHTTPConnection(fd, id, *reader_, connectionLifetime_,
                                                     std::move(callbacks), this));
}

void LocalHTTPListener::acceptFailed(QAbstractSocket::SocketError error) {
    // QTcpServer has paused itself; try again shortly, by which time descriptors may be free.
    if (!acceptFailureReported_) {
        qWarning("Local command listener could not accept a connection (error %d); retrying",
                 static_cast<int>(error));
        acceptFailureReported_ = true;
    }
    if (accepting_)
        acceptRetry_.start();
}

void LocalHTTPListener::retryAccepting() {
    if (accepting_ && isListening())
        resumeAccepting();
}

} // namespace corvane
