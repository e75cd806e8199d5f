// Two relay processes on one PostgreSQL behind a TCP balancer, with the real agent on the
// simulated Mac: a dashboard on one relay commands the device held by the other, sign-ins and
// limits hold on both, and killing the holder mid-command ends that command with a relay code
// while the device moves to the relay left.
#include "AssistantSignIn.h"
#include "HttpsClient.h"
#include "PostgresServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <sys/prctl.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <vector>

namespace corvane::test {
namespace {

using Session = std::map<QByteArray, QByteArray>;

bool onCi() {
    return qEnvironmentVariable("CI") == QLatin1String("true");
}

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// One program the test starts, its output gathered as it comes.
struct Program {
    QProcess process;
    std::string output;

    void read() {
        if (process.isOpen()) {
            output += process.readAll().toStdString();
        }
    }
    std::string line(const char* pattern) const {
        const QRegularExpressionMatch match =
            QRegularExpression(QString::fromUtf8(pattern)).match(QString::fromStdString(output));
        return match.hasMatch() ? match.captured(1).toStdString() : std::string();
    }
    std::size_t count(const std::string& text) const {
        std::size_t found = 0;
        for (std::size_t at = output.find(text); at != std::string::npos;
             at = output.find(text, at + 1)) {
            ++found;
        }
        return found;
    }
};

class RelayCluster : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home_.isValid());
        std::string whyNot;
        postgres_ = PostgresServer::start(whyNot);
        if (!postgres_) {
            if (PostgresServer::required()) {
                FAIL() << whyNot;
            }
            GTEST_SKIP() << whyNot;
        }
        haproxy_ = QStandardPaths::findExecutable(
            QStringLiteral("haproxy"),
            {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
        if (haproxy_.isEmpty()) {
            if (onCi()) {
                FAIL() << "haproxy is missing (Debian package haproxy)";
            }
            GTEST_SKIP() << "haproxy is missing: install the Debian package haproxy";
        }
        database_ = postgres_->address(postgres_->createDatabase());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home_.filePath(QStringLiteral("data")));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           home_.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        for (Program* program : {&a_, &b_, &balancer_, &agent_}) {
            program->process.setProcessEnvironment(environment);
            program->process.setProcessChannelMode(QProcess::MergedChannels);
            // They die with the test, even one that aborts before its tear-down.
            program->process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        }
    }

    void TearDown() override {
        if (HasFailure()) {
            for (Program* program : {&a_, &b_, &balancer_}) {
                program->read();
                std::fprintf(stderr, "--- %s\n", program->output.c_str());
            }
        }
        for (Program* program : {&agent_, &balancer_, &b_, &a_}) {
            if (program->process.state() != QProcess::NotRunning) {
                ::kill(static_cast<pid_t>(program->process.processId()), SIGCONT);
                program->process.kill();
                program->process.waitForFinished(5000);
            }
        }
    }

    bool until(const std::function<bool()>& condition, int limitMs = 90000) {
        QElapsedTimer timer;
        timer.start();
        while (!condition()) {
            if (timer.elapsed() > limitMs) {
                return false;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            for (Program* program : {&a_, &b_, &balancer_, &agent_}) {
                program->read();
            }
        }
        return true;
    }

    // Starts a relay on the shared database; its origin, empty when it did not come up.
    QString startRelay(Program& relay, const QString& name, const QStringList& extra = {}) {
        relay.process.start(QStringLiteral(VELTO_RELAY_PROGRAM),
                            QStringList{QStringLiteral("--data"), home_.filePath(name),
                                        QStringLiteral("--port"), QStringLiteral("0"),
                                        QStringLiteral("--database"),
                                        QString::fromStdString(database_)} +
                                extra);
        if (!until([&] { return !relay.line("(dashboard at|owner account at)").empty(); })) {
            return {};
        }
        return QString::fromStdString(relay.line("listening on (\\S+)"));
    }

    // HAProxy in TCP mode on `port`: every connection to the first server while it is up, else
    // to the second (its checks notice a dead one within half a second).
    bool startBalancer(quint16 port, quint16 first, quint16 second) {
        const QString config = home_.filePath(QStringLiteral("haproxy.cfg"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly)) {
            return false;
        }
        file.write(QStringLiteral("global\n  maxconn 512\n"
                                  "defaults\n  mode tcp\n  timeout connect 2s\n"
                                  "  timeout client 1h\n  timeout server 1h\n"
                                  "frontend relays\n  bind 127.0.0.1:%1\n  default_backend relays\n"
                                  "backend relays\n  balance first\n  option redispatch\n"
                                  "  retries 3\n"
                                  "  server b 127.0.0.1:%2 check inter 200ms fall 1 rise 1\n"
                                  "  server a 127.0.0.1:%3 check inter 200ms fall 1 rise 1\n")
                       .arg(port)
                       .arg(first)
                       .arg(second)
                       .toUtf8());
        file.close();
        balancer_.process.start(haproxy_, {QStringLiteral("-db"), QStringLiteral("-f"), config});
        return until([&] {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            return probe.waitForConnected(200);
        });
    }

    // Sends one command; its id, empty when refused.
    std::string send(HttpsClient& client, const Session& session, const QString& device,
                     const std::string& action) {
        const HttpsClient::Reply sent = client.post(
            QStringLiteral("/v1/devices/%1/commands").arg(device),
            JSON(JSON::Object{{"action", JSON(action)}, {"params", JSON(JSON::Object{})}}),
            session);
        EXPECT_EQ(sent.status, 202) << sent.raw.toStdString();
        const std::string* id = sent.body.stringMember("command_id");
        return id != nullptr ? *id : std::string();
    }

    JSON finished(HttpsClient& client, const Session& session, const std::string& id) {
        JSON view;
        until([&] {
            view = client.get(QStringLiteral("/v1/commands/") + QString::fromStdString(id), session)
                       .body;
            return view.stringMember("state") != nullptr &&
                   *view.stringMember("state") == "finished";
        });
        return view;
    }

    // A and B on the database behind the balancer (B first), the agent paired through it and
    // connected to B, and the owner signed in.
    void bringUp() {
        originA = startRelay(a_, QStringLiteral("a"));
        ASSERT_FALSE(originA.isEmpty()) << a_.output;
        // Both relays show the agent one certificate, whichever the balancer picks.
        certificate = QString::fromStdString(a_.line("certificate (/\\S+)"));
        const QString key = QFileInfo(certificate).dir().filePath(QStringLiteral("relay-key.pem"));
        originB = startRelay(b_, QStringLiteral("b"),
                             {QStringLiteral("--cert"), certificate, QStringLiteral("--key"), key});
        ASSERT_FALSE(originB.isEmpty()) << b_.output;
        const std::string setup = a_.line("#setup=(\\S+)");
        ASSERT_FALSE(setup.empty()) << a_.output;

        const quint16 front = freePort();
        ASSERT_TRUE(startBalancer(front, QUrl(originB).port(), QUrl(originA).port()))
            << balancer_.output;

        agent_.process.start(qEnvironmentVariable("VELTO_PROGRAM", QStringLiteral(VELTO_PROGRAM)),
                             {QStringLiteral("--headless"), QStringLiteral("--scenario"),
                              QStringLiteral(VELTO_DEFAULT_SCENARIO), QStringLiteral("--relay"),
                              QStringLiteral("https://127.0.0.1:%1").arg(front),
                              QStringLiteral("--relay-ca"), certificate});
        std::string code;
        ASSERT_TRUE(until([&] {
            code = agent_.line("open in browser: \\S+#pair=(\\S+)");
            return !code.empty();
        })) << agent_.output;

        clientA = std::make_unique<HttpsClient>(originA, QSslCertificate::fromPath(certificate));
        clientB = std::make_unique<HttpsClient>(originB, QSslCertificate::fromPath(certificate));
        const HttpsClient::Reply owner =
            clientA->post(QStringLiteral("/v1/account/setup"),
                          JSON(JSON::Object{{"token", JSON(setup)},
                                            {"name", JSON("owner")},
                                            {"password", JSON("correct horse battery")}}));
        ASSERT_EQ(owner.status, 200) << owner.raw.toStdString();
        session =
            Session{{"Cookie", owner.header("set-cookie").split(';').front()},
                    {"X-CSRF-Token", QByteArray::fromStdString(*owner.body.stringMember("csrf"))}};

        const HttpsClient::Reply approved =
            clientA->post(QStringLiteral("/v1/pairings/approve"),
                          JSON(JSON::Object{{"code", JSON(code)}}), session);
        ASSERT_EQ(approved.status, 200) << approved.raw.toStdString();
        device = QString::fromStdString(*approved.body.stringMember("device_id"));
        ASSERT_TRUE(until([&] { return agent_.count("status: Mac connected") == 1; }))
            << agent_.output;
    }

    // Sends `action` from `client` while the agent is stopped, so that the command stays open
    // on the relay holding its socket; the agent stays stopped. Its id.
    std::string sendWhileAgentStopped(HttpsClient& client, const std::string& action) {
        EXPECT_EQ(::kill(agentPid(), SIGSTOP), 0);
        const std::string id = send(client, session, device, action);
        until([] { return false; }, 1000); // the holder takes it and writes it to the socket
        return id;
    }
    pid_t agentPid() const { return static_cast<pid_t>(agent_.process.processId()); }

    // The outcome of `id` in the device's audit as `client`'s relay reads it ("" while open).
    std::string auditOutcome(HttpsClient& client, const std::string& id) {
        const JSON audit =
            client.get(QStringLiteral("/v1/devices/%1/audit").arg(device), session).body;
        const JSON* rows = audit.find("audit");
        for (const JSON& row : rows != nullptr && rows->array() ? *rows->array() : JSON::Array{}) {
            if (*row.stringMember("command_id") == id && row.find("finished_at") != nullptr) {
                return *row.stringMember("outcome");
            }
        }
        return {};
    }

    // Commands from A until one succeeds on the device (it moved to A); its result.
    JSON nextSucceeds() {
        JSON next;
        until([&] {
            const HttpsClient::Reply sent = clientA->post(
                QStringLiteral("/v1/devices/%1/commands").arg(device),
                JSON(JSON::Object{{"action", JSON("get_state")}, {"params", JSON(JSON::Object{})}}),
                session);
            if (sent.status != 202) {
                return false;
            }
            next = finished(*clientA, session, *sent.body.stringMember("command_id"));
            return next.find("ok") != nullptr && next.find("ok")->isTrue();
        });
        return next;
    }

    QTemporaryDir home_;
    std::unique_ptr<PostgresServer> postgres_;
    std::string database_;
    QString haproxy_;
    Program a_;
    Program b_;
    Program balancer_;
    Program agent_;
    QString originA;
    QString originB;
    QString certificate;
    std::unique_ptr<HttpsClient> clientA;
    std::unique_ptr<HttpsClient> clientB;
    Session session;
    QString device;
};

TEST_F(RelayCluster, CommandsCrossRelaysAndSurviveTheHoldersDeath) {
    bringUp();
    if (HasFatalFailure()) {
        return;
    }
    // The session made on A is known on B.
    EXPECT_EQ(clientB->get(QStringLiteral("/v1/account"), session).status, 200);

    // The device's socket is on B; the dashboard asks A, which lists it as online.
    const JSON listed = clientA->get(QStringLiteral("/v1/devices"), session).body;
    ASSERT_EQ(listed.find("devices")->array()->size(), 1u) << listed.data();
    EXPECT_TRUE(listed.find("devices")->array()->front().find("online")->isTrue());
    // With the report B keeps for the other relays.
    EXPECT_NE(listed.find("devices")->array()->front().find("agent_version"), nullptr)
        << listed.data();
    const std::string acrossId = send(*clientA, session, device, "get_state");
    ASSERT_FALSE(acrossId.empty());
    const JSON across = finished(*clientA, session, acrossId);
    ASSERT_NE(across.find("ok"), nullptr) << across.data();
    EXPECT_TRUE(across.find("ok")->isTrue()) << across.data();

    // Figures for the bench script, not limits: a command's round trip as the dashboard sees it
    // (sent, then polled until finished), across the two relays and within B alone.
    const auto roundTrip = [&](HttpsClient& client) {
        std::vector<qint64> times;
        for (int i = 0; i < 15; ++i) {
            QElapsedTimer timer;
            timer.start();
            const std::string id = send(client, session, device, "get_state");
            if (id.empty() || finished(client, session, id).find("ok") == nullptr) {
                return qint64{-1};
            }
            times.push_back(timer.elapsed());
        }
        std::sort(times.begin(), times.end());
        return times[times.size() / 2];
    };
    const qint64 acrossTwo = roundTrip(*clientA);
    const qint64 withinOne = roundTrip(*clientB);
    std::printf("round trip p50: %lld ms across two relays, %lld ms within one\n",
                static_cast<long long>(acrossTwo), static_cast<long long>(withinOne));

    // Failed sign-ins counted on A limit the address on B too.
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(clientA
                      ->post(QStringLiteral("/v1/account/sign-in"),
                             JSON(JSON::Object{{"name", JSON("owner")},
                                               {"password", JSON("wrong password")}}))
                      .status,
                  401);
    }
    const HttpsClient::Reply limited = clientB->post(
        QStringLiteral("/v1/account/sign-in"),
        JSON(JSON::Object{{"name", JSON("owner")}, {"password", JSON("correct horse battery")}}));
    EXPECT_EQ(limited.status, 429) << limited.raw.toStdString();

    // B dies while the agent holds a command it has not answered yet.
    const auto agentPid = static_cast<pid_t>(agent_.process.processId());
    ASSERT_EQ(::kill(agentPid, SIGSTOP), 0);
    const std::string lost = send(*clientA, session, device, "mute");
    ASSERT_FALSE(lost.empty());
    until([] { return false; }, 1000); // B takes it and writes it to the agent's socket
    QElapsedTimer failover;
    failover.start();
    b_.process.kill();
    b_.process.waitForFinished(5000);
    ASSERT_EQ(::kill(agentPid, SIGCONT), 0);

    // The agent comes back through the balancer, now to A, and the next command runs there
    // while the lost one still waits for B's lease to run out.
    ASSERT_TRUE(until([&] { return agent_.count("status: Mac connected") >= 2; })) << agent_.output;
    JSON next;
    ASSERT_TRUE(until([&] {
        const HttpsClient::Reply sent = clientA->post(
            QStringLiteral("/v1/devices/%1/commands").arg(device),
            JSON(JSON::Object{{"action", JSON("get_state")}, {"params", JSON(JSON::Object{})}}),
            session);
        if (sent.status != 202) {
            return false;
        }
        next = finished(*clientA, session, *sent.body.stringMember("command_id"));
        return next.find("ok") != nullptr && next.find("ok")->isTrue();
    })) << next.data();
    std::printf("failover: %lld ms from the holder's death to the next command's result\n",
                static_cast<long long>(failover.elapsed()));

    const JSON ended = finished(*clientA, session, lost);
    ASSERT_NE(ended.stringMember("error_code"), nullptr) << ended.data();
    EXPECT_EQ(*ended.stringMember("error_code"), "relay_lost")
        << "a lost command ends with the relay's code and is never handed to the relay left";
    std::printf("lost command ended %lld ms after the holder's death\n",
                static_cast<long long>(failover.elapsed()));

    // One audit row for the lost command, finished once.
    const JSON audit =
        clientA->get(QStringLiteral("/v1/devices/%1/audit").arg(device), session).body;
    int rows = 0;
    for (const JSON& row : *audit.find("audit")->array()) {
        if (*row.stringMember("command_id") == lost) {
            ++rows;
            EXPECT_EQ(*row.stringMember("outcome"), "relay_lost");
        }
    }
    EXPECT_EQ(rows, 1);
}

TEST_F(RelayCluster, ADashboardOnOneRelaySeesTheOtherRelaysCommandsLive) {
    bringUp();
    if (HasFatalFailure()) {
        return;
    }
    // The page's live events on A, while a page on B commands the device B holds.
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(originA + QStringLiteral("/v1/events")));
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(QSslCertificate::fromPath(certificate));
    request.setSslConfiguration(tls);
    for (const auto& [name, value] : session) {
        request.setRawHeader(name, value);
    }
    std::unique_ptr<QNetworkReply> stream(manager.get(request));
    QByteArray seen;
    QObject::connect(stream.get(), &QNetworkReply::readyRead, [&] { seen += stream->readAll(); });
    ASSERT_TRUE(until([&] { return seen.contains("event: ready"); }, 10000)) << seen.data();

    const std::string id = send(*clientB, session, device, "get_state");
    ASSERT_FALSE(id.empty());
    EXPECT_TRUE(until(
        [&] {
            return seen.contains("event: command") &&
                   seen.contains(QByteArray::fromStdString(id)) && seen.contains("\"finished\"");
        },
        10000))
        << seen.data();
    stream->abort();
}

TEST_F(RelayCluster, ACleanStopOfTheHolderLetsTheOtherRelayServeAtOnce) {
    bringUp();
    if (HasFatalFailure()) {
        return;
    }
    const std::string held = sendWhileAgentStopped(*clientA, "mute");
    ASSERT_FALSE(held.empty());
    QElapsedTimer failover;
    failover.start();
    ASSERT_EQ(::kill(static_cast<pid_t>(b_.process.processId()), SIGTERM), 0);
    ASSERT_TRUE(b_.process.waitForFinished(10000));
    EXPECT_EQ(b_.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(b_.process.exitCode(), 0);

    // B gave its lease up: A ends what B held without waiting for the lease to run out.
    const JSON ended = finished(*clientA, session, held);
    ASSERT_NE(ended.stringMember("error_code"), nullptr) << ended.data();
    EXPECT_EQ(*ended.stringMember("error_code"), "relay_lost");
    const qint64 lostAfter = failover.elapsed();
    EXPECT_LT(lostAfter, 10000) << "waited for the stopped relay's lease";
    ASSERT_EQ(::kill(agentPid(), SIGCONT), 0);
    const JSON next = nextSucceeds();
    ASSERT_NE(next.find("ok"), nullptr) << next.data();
    std::printf("clean stop: held command ended %lld ms, failover: %lld ms\n",
                static_cast<long long>(lostAfter), static_cast<long long>(failover.elapsed()));
}

TEST_F(RelayCluster, ACommandWhoseSendingRelayWasKilledEndsAsLostOnTheRelayLeft) {
    bringUp();
    if (HasFatalFailure()) {
        return;
    }
    // A sends to the device on B and dies; the agent then answers B, whose answer finds nobody.
    const std::string orphan = sendWhileAgentStopped(*clientA, "mute");
    ASSERT_FALSE(orphan.empty());
    QElapsedTimer since;
    since.start();
    a_.process.kill();
    a_.process.waitForFinished(5000);
    ASSERT_EQ(::kill(agentPid(), SIGCONT), 0);
    EXPECT_EQ(auditOutcome(*clientB, orphan), "") << "ended while its sender's lease lasted";
    std::string outcome;
    ASSERT_TRUE(until(
        [&] {
            outcome = auditOutcome(*clientB, orphan);
            return !outcome.empty();
        },
        40000));
    EXPECT_EQ(outcome, "relay_lost");
    std::printf("dead sender's command ended %lld ms after its death\n",
                static_cast<long long>(since.elapsed()));
    // The device is still served through B.
    const std::string next = send(*clientB, session, device, "get_state");
    const JSON done = finished(*clientB, session, next);
    ASSERT_NE(done.find("ok"), nullptr) << done.data();
    EXPECT_TRUE(done.find("ok")->isTrue()) << done.data();
}

TEST_F(RelayCluster, AnAssistantSignedInOnOneRelayOperatesTheDeviceTheOtherHolds) {
    bringUp();
    if (HasFatalFailure()) {
        return;
    }
    const JSON tokens = AssistantSignIn::tokens(*clientA, originA.toStdString(), session,
                                                device.toStdString(), "Cluster Assistant");
    const std::string* bearer = tokens.stringMember("access_token");
    ASSERT_NE(bearer, nullptr);
    Session headers{{"Authorization", QByteArray::fromStdString("Bearer " + *bearer)},
                    {"Content-Type", "application/json"},
                    {"Accept", "application/json, text/event-stream"}};
    const HttpsClient::Reply started = clientA->call(
        "POST", QStringLiteral("/mcp"),
        R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":)"
        R"("2025-11-25","capabilities":{},"clientInfo":{"name":"t","version":"1"}}})",
        headers);
    ASSERT_EQ(started.status, 200) << started.raw.toStdString();
    headers.emplace("Mcp-Session-Id", started.header("mcp-session-id"));

    // The device's socket is on B: the call crosses to it and its result comes back to A.
    const HttpsClient::Reply called = clientA->call(
        "POST", QStringLiteral("/mcp"),
        R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"get_state",)"
        R"("arguments":{}}})",
        headers);
    const JSON* result = called.body.find("result");
    ASSERT_NE(result, nullptr) << called.raw.toStdString();
    EXPECT_FALSE(result->find("isError")->isTrue()) << called.raw.toStdString();

    std::string outcome;
    until(
        [&] {
            const JSON audit =
                clientB->get(QStringLiteral("/v1/devices/%1/audit").arg(device), session).body;
            const JSON* rows = audit.find("audit");
            for (const JSON& row :
                 rows != nullptr && rows->array() ? *rows->array() : JSON::Array{}) {
                const std::string* assistant = row.stringMember("assistant");
                const std::string* finished = row.stringMember("outcome");
                if (assistant != nullptr && *assistant == "Cluster Assistant" &&
                    finished != nullptr && row.find("finished_at") != nullptr) {
                    outcome = *finished;
                }
            }
            return !outcome.empty();
        },
        10000);
    EXPECT_EQ(outcome, "succeeded");
}

} // namespace
} // namespace corvane::test
