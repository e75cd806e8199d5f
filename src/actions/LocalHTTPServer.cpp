#include "actions/LocalHTTPServer.h"

#include "actions/LocalHTTPListener.h"
#include "actions/LocalHTTPRequestReader.h"
#include "actions/LocalHTTPServerError.h"

#include <QMetaObject>
#include <QtDebug>

#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace corvane {

LocalHTTPServer::LocalHTTPServer(quint16 port, std::string_view token, LocalHTTPHandler handler,
                                 QObject* parent)
    : LocalHTTPServer(port, token, std::move(handler), Options{}, parent) {}

LocalHTTPServer::LocalHTTPServer(quint16 port, std::string_view token, LocalHTTPHandler handler,
                                 Options options, QObject* parent)
    : QObject(parent)
    , handler_(std::move(handler)) {
    // Requests are posted to this object, so the queued call is dropped if it is gone by then.
    // The socket thread cannot post during destruction: the destructor stops it first.
    auto sink = [this](quint64 id, JSON body) {
        QMetaObject::invokeMethod(
            this, [this, id, body = std::move(body)]() mutable { dispatch(id, std::move(body)); },
            Qt::QueuedConnection);
    };
    listener_ = new LocalHTTPListener(
        LocalHTTPRequestReader::hashToken(token),
        {options.connectionLifetime, options.drainAfterAnswer, options.acceptRetryDelay},
        std::move(sink));
    listener_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, listener_, &QObject::deleteLater);
    thread_.setObjectName(QStringLiteral("Corvane.LocalHTTP"));
    thread_.start();

    std::optional<LocalHTTPServerError> failure;
    QMetaObject::invokeMethod(
        listener_,
        [&] {
            try {
                listener_->open(port);
                port_ = listener_->port();
            } catch (const LocalHTTPServerError& error) {
                failure = error;
            }
        },
        Qt::BlockingQueuedConnection);
    if (failure) {
        thread_.quit();
        thread_.wait();
        throw LocalHTTPServerError("local command listener on 127.0.0.1:" + std::to_string(port) +
                                       " failed: " + failure->what(),
                                   failure->errorNumber());
    }
}

LocalHTTPServer::~LocalHTTPServer() {
    thread_.quit();
    thread_.wait();
}

void LocalHTTPServer::start() {
    if (stopped_)
        return;
    QMetaObject::invokeMethod(
        listener_, [listener = listener_] { listener->startAccepting(); },
        Qt::BlockingQueuedConnection);
}

void LocalHTTPServer::stop() {
    if (stopped_)
        return;
    stopped_ = true;
    // Blocking, so the port is closed when stop() returns.
    QMetaObject::invokeMethod(
        listener_, [listener = listener_] { listener->stopAccepting(); },
        Qt::BlockingQueuedConnection);
}

void LocalHTTPServer::dispatch(quint64 id, JSON body) {
    serve(QPointer<LocalHTTPServer>(this), handler_, id, std::move(body));
}

void LocalHTTPServer::deliver(quint64 id, std::optional<LocalHTTPResponse> response) {
    QMetaObject::invokeMethod(
        listener_,
        [listener = listener_, id, response = std::move(response)] {
            listener->respond(id, response);
        },
        Qt::QueuedConnection);
}

QCoro::Task<> LocalHTTPServer::serve(QPointer<LocalHTTPServer> server, LocalHTTPHandler handler,
                                     quint64 id, JSON body) {
    std::optional<LocalHTTPResponse> response;
    try {
        response = co_await handler(std::move(body));
    } catch (const std::exception& error) {
        qWarning("Local command handler failed: %s", error.what());
    } catch (...) {
        qWarning("Local command handler failed");
    }
    // The server may have been destroyed while the handler ran.
    if (server)
        server->deliver(id, std::move(response));
}

} // namespace corvane
