#include "Corvane/AgentControlServer.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

namespace {

JSON refusal(std::string error) {
    return JSON(JSON::Object{{"ok", JSON(false)}, {"error", JSON(std::move(error))}});
}

// The peer runs as this process's user. The socket's mode already keeps others out; the check
// keeps them out too should the folder's mode ever be loosened.
bool sameUser(const QLocalSocket& socket) {
    struct ucred peer {};
    socklen_t length = sizeof(peer);
    const auto fd = static_cast<int>(socket.socketDescriptor());
    return fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
           peer.uid == ::geteuid();
}

} // namespace

AgentControlServer::AgentControlServer(Handler handler, QObject* parent)
    : QObject(parent)
    , handler_(std::move(handler))
    , server_(new QLocalServer(this)) {
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &AgentControlServer::accept);
}

AgentControlServer::~AgentControlServer() {
    close();
}

bool AgentControlServer::listen(const QString& path, QString* error) {
    const auto fail = [error](QString why) {
        if (error != nullptr) {
            *error = std::move(why);
        }
        return false;
    };
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        return fail(QStringLiteral("cannot create ") + folder);
    }
    if (::chmod(QFile::encodeName(folder).constData(), 0700) != 0) {
        return fail(QStringLiteral("cannot make ") + folder + QStringLiteral(" private: ") +
                    QString::fromLocal8Bit(std::strerror(errno)));
    }
    QLocalServer::removeServer(path);
    if (!server_->listen(path)) {
        return fail(server_->errorString());
    }
    // Qt leaves the owner's execute bit on the socket; reading and writing is all it needs.
    if (::chmod(QFile::encodeName(path).constData(), 0600) != 0) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        server_->close();
        return fail(QStringLiteral("cannot make the socket private: ") + why);
    }
    return true;
}

void AgentControlServer::close() {
    server_->close();
    for (QLocalSocket* socket : server_->findChildren<QLocalSocket*>()) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

void AgentControlServer::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        if (!sameUser(*socket)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        read(socket);
    }
}

void AgentControlServer::read(QLocalSocket* socket) {
    for (;;) {
        const bool complete = socket->canReadLine();
        if (!complete && socket->bytesAvailable() <= maxLineBytes) {
            return; // the rest of the line is still coming
        }
        QByteArray line = complete ? socket->readLine(maxLineBytes + 2) : QByteArray();
        if (!complete || !line.endsWith('\n')) {
            const std::string refused = refusal("command line too long").data() + "\n";
            socket->write(refused.data(), static_cast<qint64>(refused.size()));
            socket->disconnectFromServer();
            return;
        }
        line.chop(1);
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        if (line.trimmed().isEmpty()) {
            continue;
        }
        const std::string reply = answer(std::string_view(line.constData(), line.size())) + "\n";
        socket->write(reply.data(), static_cast<qint64>(reply.size()));
    }
}

std::string AgentControlServer::answer(std::string_view line) const {
    JSON command;
    try {
        command = JSON::parse(line);
    } catch (const std::exception&) {
        return refusal("not a JSON command").data();
    }
    if (!command.isObject() || command.stringMember("cmd") == nullptr) {
        return refusal("expected {\"cmd\": ...}").data();
    }
    try {
        return handler_(command).data();
    } catch (const std::exception& error) {
        return refusal(error.what()).data();
    }
}

} // namespace corvane
