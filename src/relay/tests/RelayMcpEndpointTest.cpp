// The relay's /mcp over real TLS where the SDK-driven test cannot reach: what is refused before
// the message is read (a foreign Origin, a body larger than allowed, before it is sent), the life
// of a session bound to its grant, a call to a device that is not connected, and one to a
// device whose socket another relay holds.
#include "DeviceMessages.h"
#include "HttpsClient.h"
#include "PostgresServer.h"

#include "core/ContractValidator.h"
#include "core/Uuid.h"
#include "relay/BlockingRelayStore.h"
#include "relay/PostgresCommandBus.h"
#include "relay/PostgresConnection.h"
#include "relay/PostgresDevicePresence.h"
#include "relay/PostgresRelayStore.h"
#include "relay/RelayCertificate.h"
#include "relay/RelayMcpEndpoint.h"
#include "relay/RelaySecrets.h"
#include "relay/RelayServer.h"
#include "relay/RelayStoreThread.h"
#include "relay/SqliteOAuthStore.h"
#include "relay/SqliteRelayStore.h"
#include "support/TestRelay.h"
#include "support/VirtualClock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QWebSocket>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace corvane::test {
namespace {

const JSON initialize = JSON::parse(
    R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-11-25",)"
    R"("capabilities":{},"clientInfo":{"name":"t","version":"1"}}})");
const std::string deviceToken = "device-token";
const JSON getState = JSON::parse(
    R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"get_state","arguments":{}}})");

class RelayMcpEndpointTest : public ::testing::Test {
protected:
    RelayMcpEndpointTest()
        : storeThread([path = dir.filePath(QStringLiteral("relay.sqlite"))] {
            return std::make_unique<SqliteRelayStore>(path);
        })
        , store(storeThread)
        , oauth(dir.filePath(QStringLiteral("relay.sqlite")))
        , validator(QStringLiteral(CORVANE_SCHEMA_PATH)) {
        const RelayCertificate certificate = RelayCertificate::load(
            QStringLiteral(CORVANE_TEST_CERTIFICATES "/relay-server.pem"),
            QStringLiteral(CORVANE_TEST_CERTIFICATES "/relay-server-key.pem"));
        server = std::make_unique<RelayServer>(
            storeThread, clock, validator,
            RelayServer::Options{certificate.tls(), QDir(dir.path()), 256, &oauth});
        port = server->listen(QHostAddress::LocalHost, 0);
        origin = QStringLiteral("https://127.0.0.1:%1").arg(port).toStdString();
        client =
            std::make_unique<HttpsClient>(QString::fromStdString(origin), TestRelay::authority());
        account = *store.createAccount("owner", "$argon2id$test");
        device = Uuid::make();
        const std::string code = device.substr(0, 8);
        store.addPairing({code, device, "bootstrap", "Laptop", clock.now() + 10min,
                          RelayStore::PairingState::Pending, 0, "1.0", clock.now(), "block"});
        store.approvePairing(code, account, clock.now());
        store.redeemPairing("bootstrap", RelaySecrets::digest(deviceToken), clock.now());
        oauth.addClient({"client", "Test Assistant", {"http://127.0.0.1:1/cb"}, clock.now()});
    }

    // A live access token of a new grant for the device.
    std::string token() {
        const std::string grant = Uuid::make();
        const std::string bearer = "bearer-" + grant;
        oauth.addGrant({grant, "client", "Test Assistant", account, device, origin + "/mcp",
                        clock.now(), std::nullopt},
                       {{RelaySecrets::digest(bearer), grant, OAuthStore::TokenKind::Access,
                         clock.now() + 1h}});
        return bearer;
    }

    HttpsClient::Reply mcp(const QByteArray& method, const std::string& bearer, const JSON& body,
                           std::map<QByteArray, QByteArray> headers = {}) {
        headers.emplace("Authorization", QByteArray::fromStdString("Bearer " + bearer));
        headers.emplace("Content-Type", "application/json");
        headers.emplace("Accept", "application/json, text/event-stream");
        return client->call(method, QStringLiteral("/mcp"), QByteArray::fromStdString(body.data()),
                            headers);
    }

    QTemporaryDir dir;
    VirtualClock clock;
    RelayStoreThread storeThread;
    BlockingRelayStore store;
    SqliteOAuthStore oauth;
    ContractValidator validator;
    std::unique_ptr<RelayServer> server;
    quint16 port = 0;
    std::string origin;
    std::unique_ptr<HttpsClient> client;
    std::int64_t account = 0;
    std::string device;
};

TEST_F(RelayMcpEndpointTest, RefusedBeforeTheMessageIsRead) {
    const std::string bearer = token();
    struct Row {
        const char* what;
        QByteArray method;
        std::map<QByteArray, QByteArray> headers;
        int status;
    };
    const Row rows[] = {
        {"another site's page", "POST", {{"Origin", "https://assistant.example"}}, 403},
        {"the relay's own page", "POST", {{"Origin", QByteArray::fromStdString(origin)}}, 200},
        {"no stream is offered", "GET", {}, 405},
    };
    for (const Row& row : rows) {
        const HttpsClient::Reply reply = mcp(row.method, bearer, initialize, row.headers);
        EXPECT_EQ(reply.status, row.status) << row.what << ": " << reply.raw.toStdString();
    }
    // A body over the reader's bound is refused on its declared length, before it is sent.
    QSslSocket socket;
    socket.setPeerVerifyName(QStringLiteral("127.0.0.1"));
    QSslConfiguration tls = socket.sslConfiguration();
    tls.setCaCertificates(TestRelay::authority());
    socket.setSslConfiguration(tls);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    ASSERT_TRUE(socket.waitForEncrypted(5000)) << socket.errorString().toStdString();
    socket.write("POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                 QByteArray::fromStdString(bearer) +
                 "\r\nContent-Type: application/json\r\nContent-Length: 2097152\r\n\r\n");
    QByteArray answer;
    for (int i = 0; i < 50 && !answer.contains("\r\n\r\n"); ++i) {
        socket.waitForReadyRead(100);
        answer += socket.readAll();
    }
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 413")) << answer.toStdString();
}

TEST_F(RelayMcpEndpointTest, SessionsBelongToTheirGrantAndEndOnRequest) {
    const std::string bearer = token();
    const HttpsClient::Reply started = mcp("POST", bearer, initialize);
    ASSERT_EQ(started.status, 200) << started.raw.toStdString();
    const QByteArray session = started.header("mcp-session-id");
    ASSERT_FALSE(session.isEmpty());

    // The device is not connected: a tool error with the relay's code, and nothing was sent.
    const HttpsClient::Reply call = mcp("POST", bearer, getState, {{"Mcp-Session-Id", session}});
    ASSERT_EQ(call.status, 200) << call.raw.toStdString();
    const JSON* result = call.body.find("result");
    ASSERT_NE(result, nullptr) << call.raw.toStdString();
    EXPECT_TRUE(result->find("isError")->isTrue());
    EXPECT_EQ(result->find("content")->array()->front().stringMember("text")->rfind(
                  "device_offline: ", 0),
              0u);
    EXPECT_TRUE(store.auditOf(device, 10).empty());

    // Another assistant's token does not reach this session; ending it is final.
    EXPECT_EQ(mcp("POST", token(), getState, {{"Mcp-Session-Id", session}}).status, 404);
    EXPECT_EQ(mcp("DELETE", token(), JSON(), {{"Mcp-Session-Id", session}}).status, 404);
    EXPECT_EQ(mcp("DELETE", bearer, JSON(), {{"Mcp-Session-Id", session}}).status, 200);
    EXPECT_EQ(mcp("POST", bearer, getState, {{"Mcp-Session-Id", session}}).status, 404);

    // Idle sessions expire, and an account holds only so many at once.
    for (std::size_t i = 0; i < RelayMcpEndpoint::sessionsPerAccount; ++i) {
        ASSERT_EQ(mcp("POST", bearer, initialize).status, 200) << i;
    }
    EXPECT_EQ(mcp("POST", bearer, initialize).status, 429);
    clock.advance(RelayMcpEndpoint::sessionIdle);
    EXPECT_EQ(mcp("POST", bearer, initialize).status, 200);
}

TEST_F(RelayMcpEndpointTest, ACallWaitsForTheDeviceAndEndsWithIt) {
    // The device says hello, then takes each command and goes away before its result.
    QWebSocket socket;
    bool ready = false;
    bool silent = false;
    QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket, [&](const QString& text) {
        const JSON message = JSON::parse(text.toStdString());
        ready = ready || *message.stringMember("type") == "ready";
        if (*message.stringMember("type") == "command" && !silent) {
            socket.sendTextMessage(QString::fromStdString(
                envelope("delivered", JSON::Object{{"command_id", *message.find("command_id")}})
                    .data()));
            socket.close();
        }
    });
    QObject::connect(&socket, &QWebSocket::connected, &socket, [&] {
        socket.sendTextMessage(QString::fromStdString(helloWith(deviceToken).data()));
    });
    QNetworkRequest request(QUrl(QStringLiteral("wss://127.0.0.1:%1/v1/ws/device").arg(port)));
    request.setRawHeader("X-Velto-Device-ID", QByteArray::fromStdString(device));
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(TestRelay::authority());
    socket.setSslConfiguration(tls);
    socket.open(request);
    QElapsedTimer waited;
    waited.start();
    while (!ready && waited.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    ASSERT_TRUE(ready) << socket.errorString().toStdString();

    const std::string bearer = token();
    // The tools are those of the capability report the device sent.
    const JSON list =
        JSON::parse(R"({"jsonrpc":"2.0","id":3,"method":"tools/list","params":{"_meta":{)"
                    R"("io.modelcontextprotocol/protocolVersion":"2026-07-28",)"
                    R"("io.modelcontextprotocol/clientCapabilities":{}}}})");
    const HttpsClient::Reply tools = mcp("POST", bearer, list, {{"Mcp-Method", "tools/list"}});
    ASSERT_EQ(tools.status, 200) << tools.raw.toStdString();
    std::vector<std::string> names;
    for (const JSON& tool : *tools.body.find("result")->find("tools")->array()) {
        names.push_back(*tool.stringMember("name"));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"get_state", "mute"}));

    const HttpsClient::Reply started = mcp("POST", bearer, initialize);
    const HttpsClient::Reply call =
        mcp("POST", bearer, getState, {{"Mcp-Session-Id", started.header("mcp-session-id")}});
    const JSON* result = call.body.find("result");
    ASSERT_NE(result, nullptr) << call.raw.toStdString();
    EXPECT_TRUE(result->find("isError")->isTrue());
    EXPECT_EQ(result->find("content")->array()->front().stringMember("text")->rfind(
                  "device_disconnected: ", 0),
              0u);
    const std::vector<RelayStore::Audit> audit = store.auditOf(device, 10);
    ASSERT_EQ(audit.size(), 1u);
    EXPECT_EQ(audit[0].outcome, "device_disconnected");
    EXPECT_EQ(audit[0].assistant, "Test Assistant");

    // The relay stopping ends a call still waiting on a silent device, without waiting for it.
    silent = true;
    ready = false;
    socket.open(request);
    waited.restart();
    while (!ready && waited.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    ASSERT_TRUE(ready);
    QNetworkAccessManager manager;
    QNetworkRequest post(QUrl(QString::fromStdString(origin + "/mcp")));
    post.setSslConfiguration(tls);
    post.setRawHeader("Authorization", QByteArray::fromStdString("Bearer " + bearer));
    post.setRawHeader("Content-Type", "application/json");
    post.setRawHeader("Mcp-Session-Id", started.header("mcp-session-id"));
    QNetworkReply* pending = manager.post(post, QByteArray::fromStdString(getState.data()));
    waited.restart();
    while (store.auditOf(device, 10).size() < 2 && waited.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    ASSERT_EQ(store.auditOf(device, 10).size(), 2u);
    waited.restart();
    server.reset();
    EXPECT_LT(waited.elapsed(), 5000);
    delete pending;
}

// The task's end, waited for on a nested event loop.
void awaited(QCoro::Task<void> task) {
    QCoro::waitFor(std::move(task));
}

TEST(RelayMcpAcrossRelaysTest, ACallForADeviceAnotherRelayHoldsGoesThroughIt) {
    std::string why;
    PostgresServer* postgres = PostgresServer::shared(why);
    if (postgres == nullptr) {
        if (PostgresServer::required()) {
            FAIL() << why;
        }
        GTEST_SKIP() << why;
    }
    const std::string address = postgres->address(postgres->createDatabase());
    QTemporaryDir dir;
    VirtualClock clock;
    RelayStoreThread storeThread(
        [address] { return std::make_unique<PostgresRelayStore>(address); });
    BlockingRelayStore store(storeThread);
    const QString oauthPath = dir.filePath(QStringLiteral("oauth.sqlite"));
    const std::string device = Uuid::make();
    std::int64_t account = 0;
    {
        // The grants' file holds the account and the device too (its rows refer to them).
        SqliteRelayStore grants(oauthPath);
        for (RelayStore* stored : std::initializer_list<RelayStore*>{&store, &grants}) {
            account = *stored->createAccount("owner", "$argon2id$test");
            stored->addPairing({"ABCD2345", device, "bootstrap", "Laptop", clock.now() + 10min,
                                RelayStore::PairingState::Pending, 0, "1.0", clock.now(), "block"});
            stored->approvePairing("ABCD2345", account, clock.now());
            stored->redeemPairing("bootstrap", RelaySecrets::digest(deviceToken), clock.now());
        }
    }
    SqliteOAuthStore oauth(oauthPath);
    const ContractValidator validator(QStringLiteral(CORVANE_SCHEMA_PATH));

    // The other relay holds the device's socket: it answers each command it is handed.
    PostgresConnection otherConnection(address);
    PostgresDevicePresence otherPresence(otherConnection, clock, "relayb");
    PostgresCommandBus otherBus(otherConnection, clock, "relayb");
    std::vector<CommandBus::Command> handed;
    std::vector<QCoro::Task<bool>> answers;
    otherBus.listen({[&](CommandBus::Command command) {
                         handed.push_back(command);
                         answers.push_back(
                             otherBus.answer(command.id, R"({"ok":true,"data":{"volume":40}})"));
                     },
                     {},
                     {},
                     {}});
    awaited(otherPresence.claim(device));
    awaited(otherBus.publish(
        {account, "device", device, R"({"capabilities":{"actions":["get_state","mute"]}})"}));

    PostgresConnection connection(address);
    PostgresDevicePresence presence(connection, clock, "relaya");
    PostgresCommandBus bus(connection, clock, "relaya");
    const RelayCertificate certificate =
        RelayCertificate::load(QStringLiteral(CORVANE_TEST_CERTIFICATES "/relay-server.pem"),
                               QStringLiteral(CORVANE_TEST_CERTIFICATES "/relay-server-key.pem"));
    RelayServer::Options options{certificate.tls(), QDir(dir.path()), 256, &oauth};
    options.presence = &presence;
    options.bus = &bus;
    auto server = std::make_unique<RelayServer>(storeThread, clock, validator, std::move(options));
    const quint16 port = server->listen(QHostAddress::LocalHost, 0);
    const std::string origin = QStringLiteral("https://127.0.0.1:%1").arg(port).toStdString();
    HttpsClient client(QString::fromStdString(origin), TestRelay::authority());
    oauth.addClient({"client", "Test Assistant", {"http://127.0.0.1:1/cb"}, clock.now()});
    oauth.addGrant({"grant", "client", "Test Assistant", account, device, origin + "/mcp",
                    clock.now(), std::nullopt},
                   {{RelaySecrets::digest("bearer"), "grant", OAuthStore::TokenKind::Access,
                     clock.now() + 1h}});
    const auto mcp = [&](const JSON& body, std::map<QByteArray, QByteArray> headers) {
        headers.emplace("Authorization", "Bearer bearer");
        headers.emplace("Content-Type", "application/json");
        headers.emplace("Accept", "application/json, text/event-stream");
        return client.call("POST", QStringLiteral("/mcp"), QByteArray::fromStdString(body.data()),
                           headers);
    };

    // The tools follow the report the holder kept.
    const JSON list =
        JSON::parse(R"({"jsonrpc":"2.0","id":3,"method":"tools/list","params":{"_meta":{)"
                    R"("io.modelcontextprotocol/protocolVersion":"2026-07-28",)"
                    R"("io.modelcontextprotocol/clientCapabilities":{}}}})");
    const HttpsClient::Reply tools = mcp(list, {{"Mcp-Method", "tools/list"}});
    ASSERT_EQ(tools.status, 200) << tools.raw.toStdString();
    std::vector<std::string> names;
    for (const JSON& tool : *tools.body.find("result")->find("tools")->array()) {
        names.push_back(*tool.stringMember("name"));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"get_state", "mute"}));

    const HttpsClient::Reply started = mcp(initialize, {});
    const HttpsClient::Reply call =
        mcp(getState, {{"Mcp-Session-Id", started.header("mcp-session-id")}});
    const JSON* result = call.body.find("result");
    ASSERT_NE(result, nullptr) << call.raw.toStdString();
    EXPECT_FALSE(result->find("isError")->isTrue()) << call.raw.toStdString();
    EXPECT_EQ(result->find("structuredContent")->data(), R"({"volume":40})");
    ASSERT_EQ(handed.size(), 1u);
    const std::vector<RelayStore::Audit> audit = store.auditOf(device, 10);
    ASSERT_EQ(audit.size(), 1u);
    EXPECT_EQ(audit[0].commandId, handed[0].id);
    EXPECT_EQ(audit[0].outcome, "succeeded");
    EXPECT_EQ(audit[0].assistant, "Test Assistant");
    server.reset();
}

} // namespace
} // namespace corvane::test
