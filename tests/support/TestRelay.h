#pragma once

#include "core/JSON.h"
#include "support/TestRelaySession.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QSslServer>
#include <QString>
#include <QWebSocketServer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QSslSocket;

namespace corvane::test {

// A relay for tests on 127.0.0.1, over TLS with the long-lived test certificate of this folder
// (relay-server.pem, issued by relay-ca.pem for IP 127.0.0.1 and localhost): HTTPS for the pairing
// endpoints, answered by a script, and the device WebSocket "v1/ws/device" on the same port, whose
// sessions the test drives. Records every request and message. Main thread; it needs the event
// loop to run.
class TestRelay final : public QObject {
public:
    struct Request {
        QString path;      // "/v1/pairing/code"
        QByteArray bearer; // the token after "Bearer ", empty without one
        QByteArray contentType;
        QByteArray cookie; // the Cookie header, empty without one
        JSON body;         // null when the body is not JSON
    };
    // An Answer whose body is written as it is, head included, with the connection left open (a
    // body that is still coming).
    static constexpr int rawAnswer = -1;
    struct Answer {
        int status = 200;   // 0: never answer (the connection stays open and silent); rawAnswer
        QByteArray body;    // sent as it is, with Content-Type application/json
        QByteArray headers; // further header lines, each ending in CR LF
    };

    // The test authority's file, to trust with --relay-ca, and its certificate.
    static QString authorityFile();
    static QList<QSslCertificate> authority();

    // A JSON answer, and the relay's refusal {"error": {"code": code}}.
    static Answer json(int status, const JSON& body);
    static Answer refusal(int status, const std::string& code);

    // The certificates a relay can serve: the test authority's leaf (the default), and two
    // self-signed ones that nobody vouches for.
    enum class Certificate { Issued, SelfSigned, OtherSelfSigned };
    static QSslCertificate certificate(Certificate which);

    TestRelay();
    ~TestRelay() override;

    // Serves `which` to the connections accepted from now on.
    void serve(Certificate which);

    quint16 port() const;
    // "https://127.0.0.1:PORT".
    std::string origin() const;

    // Answers the HTTPS requests; unset: 404.
    std::function<Answer(const Request&)> onRequest;
    // Runs when a device session opens (set its onMessage there).
    std::function<void(TestRelaySession&)> onSession;

    const std::vector<Request>& requests() const noexcept { return requests_; }
    std::vector<QString> paths() const;
    const std::vector<std::unique_ptr<TestRelaySession>>& sessions() const noexcept {
        return sessions_;
    }
    // The newest session (null before the first).
    TestRelaySession* latest() const;
    // Forgets the sessions (closing them) and the recorded requests.
    void clear();

    // A relay that approves at once: a code valid for `lifetime` (real time), redeemed on the first
    // poll, and sessions that answer "hello" with "ready" for `deviceID`.
    void approveEverything(const std::string& deviceID,
                           std::chrono::seconds lifetime = std::chrono::minutes(10));

private:
    void accepted();
    void readHead(QSslSocket* socket);
    void answer(QSslSocket* socket, const Answer& reply);
    void upgraded();

    QSslServer server_;
    QWebSocketServer upgrader_;
    std::vector<Request> requests_;
    std::vector<std::unique_ptr<TestRelaySession>> sessions_;
    // Upgrades under way, in order: the device header and the connection under the WebSocket.
    struct Upgrade {
        QByteArray deviceHeader;
        QPointer<QSslSocket> transport;
    };
    std::vector<Upgrade> upgrades_;
};

} // namespace corvane::test
