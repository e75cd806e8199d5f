#include "velto/ControlSocketClient.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QLocalSocket>
#include <QTimer>

namespace corvane {

ControlSocketClient::Outcome ControlSocketClient::run(const QString& socketPath,
                                                      const std::vector<JSON>& commands,
                                                      const Peer& peer,
                                                      std::chrono::milliseconds timeout) {
    Outcome outcome;
    if (commands.empty()) {
        return outcome;
    }
    if (!QFileInfo::exists(socketPath)) {
        outcome.error = peer.absent + " (no control socket at " + socketPath.toStdString() +
                        "); start the agent first: 'velto' (with its window) or 'velto --headless'";
        return outcome;
    }
    QLocalSocket socket;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QByteArray buffer;
    std::size_t next = 0;
    bool finished = false;

    const auto fail = [&](std::string why) {
        if (!finished) {
            outcome.error = std::move(why);
            finished = true;
        }
        loop.quit();
    };
    const auto sendNext = [&] {
        std::string line = commands[next].data();
        line += '\n';
        socket.write(line.data(), static_cast<qint64>(line.size()));
    };

    QObject::connect(&timer, &QTimer::timeout, &loop,
                     [&] { fail(peer.name + " did not answer in time"); });
    QObject::connect(&socket, &QLocalSocket::connected, &loop, sendNext);
    QObject::connect(&socket, &QLocalSocket::readyRead, &loop, [&] {
        buffer += socket.readAll();
        qsizetype newline = 0;
        while (!finished && (newline = buffer.indexOf('\n')) >= 0) {
            const QByteArray line = buffer.left(newline);
            buffer.remove(0, newline + 1);
            JSON answer;
            try {
                answer = JSON::parse(std::string_view(line.constData(), std::size_t(line.size())));
            } catch (const std::exception&) {
                fail(peer.name + "'s answer is not JSON");
                return;
            }
            const JSON* ok = answer.find("ok");
            outcome.answers.push_back(answer);
            if (ok == nullptr || !ok->isTrue()) {
                const std::string* error = answer.stringMember("error");
                fail(error != nullptr ? *error : peer.name + " refused the command");
                return;
            }
            if (++next == commands.size()) {
                finished = true;
                loop.quit();
                return;
            }
            sendNext();
        }
    });
    QObject::connect(
        &socket, &QLocalSocket::errorOccurred, &loop, [&](QLocalSocket::LocalSocketError) {
            fail("cannot reach " + peer.name + " at " + socketPath.toStdString() + " (" +
                 socket.errorString().toStdString() + "); is the agent running?");
        });
    QObject::connect(&socket, &QLocalSocket::disconnected, &loop,
                     [&] { fail(peer.name + " closed the connection"); });

    timer.start(timeout);
    socket.connectToServer(socketPath);
    if (!finished) {
        loop.exec();
    }
    socket.abort();
    return outcome;
}

} // namespace corvane
