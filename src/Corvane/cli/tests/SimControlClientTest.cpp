#include "Corvane/cli/SimControlClient.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

namespace corvane {
namespace {

// A stand-in for the simulated Mac's control socket: answers each line through `answer` and
// records what it was sent.
class FakeControlSocket {
public:
    explicit FakeControlSocket(std::function<QByteArray(const QByteArray&)> answer)
        : answer_(std::move(answer)) {
        path_ = directory_.filePath(QStringLiteral("control.sock"));
        QObject::connect(&server_, &QLocalServer::newConnection, &server_, [this] {
            QLocalSocket* socket = server_.nextPendingConnection();
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                buffer_ += socket->readAll();
                qsizetype newline = 0;
                while ((newline = buffer_.indexOf('\n')) >= 0) {
                    const QByteArray line = buffer_.left(newline);
                    buffer_.remove(0, newline + 1);
                    received.append(line);
                    const QByteArray reply = answer_(line);
                    if (reply.isEmpty()) {
                        socket->disconnectFromServer();
                        return;
                    }
                    socket->write(reply + '\n');
                }
            });
        });
        server_.listen(path_);
    }
    const QString& path() const { return path_; }
    QList<QByteArray> received;

private:
    QTemporaryDir directory_;
    QString path_;
    QLocalServer server_;
    QByteArray buffer_;
    std::function<QByteArray(const QByteArray&)> answer_;
};

std::vector<JSON> commands(std::initializer_list<const char*> names) {
    std::vector<JSON> out;
    for (const char* name : names) {
        out.push_back(JSON(JSON::Object{{"cmd", JSON(name)}}));
    }
    return out;
}

TEST(SimControlClient, SendsEveryCommandInOrderAndCollectsTheAnswers) {
    FakeControlSocket sim([](const QByteArray&) { return QByteArray(R"({"ok":true,"n":1})"); });
    const auto outcome = SimControlClient::run(sim.path(), commands({"patch", "lock"}));
    EXPECT_TRUE(outcome.ok()) << outcome.error;
    EXPECT_EQ(outcome.answers.size(), 2u);
    EXPECT_EQ(sim.received, (QList<QByteArray>{R"({"cmd":"patch"})", R"({"cmd":"lock"})"}));
}

TEST(SimControlClient, StopsAtTheFirstRefusalWithTheSimulatorsReason) {
    FakeControlSocket sim([](const QByteArray& line) {
        return line.contains("patch") ? QByteArray(R"({"ok":false,"error":"console: no"})")
                                      : QByteArray(R"({"ok":true})");
    });
    const auto outcome = SimControlClient::run(sim.path(), commands({"patch", "lock"}));
    EXPECT_EQ(outcome.error, "console: no");
    EXPECT_EQ(sim.received.size(), 1);
}

TEST(SimControlClient, BrokenOrMissingChannelsAreErrors) {
    {
        FakeControlSocket sim([](const QByteArray&) { return QByteArray("not json"); });
        EXPECT_NE(SimControlClient::run(sim.path(), commands({"ping"})).error.find("not JSON"),
                  std::string::npos);
    }
    {
        FakeControlSocket sim([](const QByteArray&) { return QByteArray(); });
        EXPECT_NE(SimControlClient::run(sim.path(), commands({"ping"})).error.find("closed"),
                  std::string::npos);
    }
    {
        FakeControlSocket sim([](const QByteArray&) { return QByteArray(R"({"answer":1})"); });
        EXPECT_FALSE(SimControlClient::run(sim.path(), commands({"ping"})).ok());
    }
    QTemporaryDir empty;
    const auto outcome =
        SimControlClient::run(empty.filePath(QStringLiteral("none.sock")), commands({"ping"}));
    EXPECT_NE(outcome.error.find("velto --headless"), std::string::npos) << outcome.error;
}

} // namespace
} // namespace corvane
