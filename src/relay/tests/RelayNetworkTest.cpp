// The network layer's time limit on a request, shortened: bytes that keep trickling in do not
// renew it.
#include "relay/RelayNetwork.h"
#include "relay/NetworkDeviceLink.h"
#include "relay/RelayCertificate.h"
#include "relay/RelayWebSocketSession.h"
#include "support/TestRelay.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSslSocket>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace corvane::test {
namespace {

QCoro::Task<RelayHttpResponse> answered() {
    co_return RelayHttpResponse{};
}

TEST(RelayNetworkTest, ARequestTrickledInBuysNoTime) {
    const RelayCertificate certificate =
        RelayCertificate::load(QStringLiteral(CORVANE_TEST_CERTIFICATES "/relay-server.pem"),
                               QStringLiteral(CORVANE_TEST_CERTIFICATES "/relay-server-key.pem"));
    RelayNetwork::Limits limits;
    limits.silence = 300ms;
    int handled = 0;
    RelayNetwork network(
        certificate.tls(),
        [&handled](const RelayHttpRequest&) {
            ++handled;
            return answered();
        },
        [](std::shared_ptr<RelayWebSocketSession>, const std::string&) {
            return std::unique_ptr<NetworkDeviceLink>();
        },
        limits);
    const quint16 port = network.listen(QHostAddress::LocalHost, 0);
    ASSERT_NE(port, 0);

    QSslSocket socket;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(TestRelay::authority());
    socket.setSslConfiguration(tls);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    ASSERT_TRUE(socket.waitForEncrypted(10000)) << socket.errorString().toStdString();
    // A byte every 20 ms, each in a record of its own: the whole head would take seconds.
    const QByteArray request =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Fill: " + QByteArray(200, 'a') + "\r\n\r\n";
    QElapsedTimer clock;
    clock.start();
    qsizetype sent = 0;
    while (socket.state() != QAbstractSocket::UnconnectedState && sent < request.size() &&
           clock.elapsed() < 20000) {
        if (clock.elapsed() >= sent * 20) {
            socket.write(request.mid(sent++, 1));
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    EXPECT_EQ(socket.state(), QAbstractSocket::UnconnectedState);
    EXPECT_LT(sent, request.size());
    EXPECT_EQ(handled, 0);
}

} // namespace
} // namespace corvane::test
