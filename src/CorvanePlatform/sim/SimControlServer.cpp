#include "CorvanePlatform/sim/SimControlServer.h"

#include "CorvanePlatform/sim/SimControlCommands.h"

#include <QLocalServer>
#include <QLocalSocket>

namespace corvane {

SimControlServer::SimControlServer(SimControlCommands& commands, QObject* parent)
    : QObject(parent)
    , commands_(commands)
    , server_(new QLocalServer(this)) {
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &SimControlServer::accept);
}

SimControlServer::~SimControlServer() = default;

bool SimControlServer::listen(const QString& path, QString* error) {
    QLocalServer::removeServer(path);
    if (!server_->listen(path)) {
        if (error != nullptr) {
            *error = server_->errorString();
        }
        return false;
    }
    return true;
}

QString SimControlServer::path() const {
    return server_->fullServerName();
}

void SimControlServer::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        read(socket);
    }
}

void SimControlServer::read(QLocalSocket* socket) {
    for (;;) {
        const bool complete = socket->canReadLine();
        if (!complete && socket->bytesAvailable() <= maxLineBytes) {
            return; // wait for the rest of the line
        }
        QByteArray line = complete ? socket->readLine() : QByteArray();
        if (!complete || line.size() > maxLineBytes + 1) {
            socket->write(R"({"error":"command line too long","ok":false})"
                          "\n");
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
        const std::string answer =
            commands_.handleLine(std::string_view(line.constData(), line.size()));
        socket->write(answer.data(), static_cast<qint64>(answer.size()));
        socket->write("\n", 1);
    }
}

} // namespace corvane
