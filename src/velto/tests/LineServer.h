// A stand-in for a control socket (the agent's or the simulated Mac's): records each line it is
// sent and answers it through `answer`; an empty answer closes the connection instead.
#pragma once

#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>

#include <functional>
#include <string>
#include <vector>

namespace corvane::test {

class LineServer {
public:
    explicit LineServer(std::function<std::string(const std::string&)> answer)
        : answer_(std::move(answer)) {
        path_ = directory_.filePath(QStringLiteral("control.sock"));
        QObject::connect(&server_, &QLocalServer::newConnection, &server_, [this] {
            QLocalSocket* socket = server_.nextPendingConnection();
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                while (socket->canReadLine()) {
                    received.push_back(socket->readLine().chopped(1).toStdString());
                    const std::string reply = answer_(received.back());
                    if (reply.empty()) {
                        socket->disconnectFromServer();
                        return;
                    }
                    socket->write(QByteArray::fromStdString(reply + "\n"));
                }
            });
        });
        server_.listen(path_);
    }
    const QString& path() const { return path_; }
    std::vector<std::string> received;

private:
    QTemporaryDir directory_;
    QString path_;
    QLocalServer server_;
    std::function<std::string(const std::string&)> answer_;
};

} // namespace corvane::test
