// The relay as an OAuth authorisation server over real TLS: an assistant registers, a person
// consents for one device, the assistant trades its code (with its PKCE verifier) for tokens, and
// the MCP endpoint's validator accepts them for that device only, until they expire, rotate away
// or are revoked.
#include "AssistantSignIn.h"
#include "Finished.h"
#include "HttpsClient.h"
#include "PostgresServer.h"
#include "RelayBench.h"

#include "core/ContractValidator.h"
#include "core/Uuid.h"
#include "relay/BlockingRelayStore.h"
#include "relay/PostgresConnection.h"
#include "relay/PostgresOAuthStore.h"
#include "relay/PostgresRateLimits.h"
#include "relay/PostgresRelayStore.h"
#include "relay/PostgresWebSessions.h"
#include "relay/RelayCertificate.h"
#include "relay/RelayOAuthAuthority.h"
#include "relay/RelayOAuthHttp.h"
#include "relay/RelayServer.h"
#include "relay/RelayStoreThread.h"
#include "relay/SqliteOAuthStore.h"
#include "relay/SqliteRelayStore.h"
#include "support/TestRelay.h"
#include "support/VirtualClock.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>

using namespace std::chrono_literals;

namespace corvane::test {
namespace {

using Fields = AssistantSignIn::Fields;
const std::string& verifier = AssistantSignIn::verifier;
const std::string& redirectUri = AssistantSignIn::redirectUri;
constexpr auto& challengeOf = AssistantSignIn::challengeOf;
constexpr auto& encoded = AssistantSignIn::encoded;
constexpr auto& answerIn = AssistantSignIn::answerIn;

// The relay with its OAuth server, on SQLite or on a fresh PostgreSQL database.
class OAuthBench : public ::testing::Test {
protected:
    // On PostgreSQL, a database of `own` server when given, else of the shared one.
    explicit OAuthBench(StoreKind kind, PostgresServer* own = nullptr)
        : address(kind == StoreKind::Postgres ? postgresAddress(own) : std::string())
        , storeThread([this] { return openStore(); })
        , store(storeThread)
        , oauth(address.empty() ? std::unique_ptr<OAuthStore>(std::make_unique<SqliteOAuthStore>(
                                      dir.filePath(QStringLiteral("relay.sqlite"))))
                                : std::make_unique<PostgresOAuthStore>(address))
        , validator(QStringLiteral(CORVANE_SCHEMA_PATH)) {
        QFile page(dir.filePath(QStringLiteral("consent.html")));
        page.open(QIODevice::WriteOnly);
        page.write("<!doctype html><title>consent</title>");
        page.close();
        const RelayCertificate certificate = RelayCertificate::load(
            QStringLiteral(CORVANE_TEST_CERTIFICATES "/relay-server.pem"),
            QStringLiteral(CORVANE_TEST_CERTIFICATES "/relay-server-key.pem"));
        RelayServer::Options options{certificate.tls(), QDir(dir.path()), 256, oauth.get()};
        if (!address.empty()) {
            // Sign-in sessions and limits shared as relays on one database share them.
            shared = std::make_unique<PostgresConnection>(address);
            sessions = std::make_unique<PostgresWebSessions>(*shared);
            limits = std::make_unique<PostgresRateLimits>(*shared);
            options.sessions = sessions.get();
            options.limits = limits.get();
        }
        server = std::make_unique<RelayServer>(storeThread, clock, validator, std::move(options));
        port = server->listen(QHostAddress::LocalHost, 0);
        origin = QStringLiteral("https://127.0.0.1:%1").arg(port).toStdString();
        client =
            std::make_unique<HttpsClient>(QString::fromStdString(origin), TestRelay::authority());
        const HttpsClient::Reply owner =
            client->post(QStringLiteral("/v1/account/setup"),
                         JSON(JSON::Object{{"token", JSON(server->accounts().setupToken())},
                                           {"name", JSON("owner")},
                                           {"password", JSON("correct horse battery")}}));
        session = {{"Cookie", owner.header("set-cookie").split(';').front()},
                   {"X-CSRF-Token", QByteArray::fromStdString(*owner.body.stringMember("csrf"))},
                   {"Origin", QByteArray::fromStdString(origin)}};
        account = store.accountByName("owner")->id;
        laptop = addDevice(account, "Laptop");
        desktop = addDevice(account, "Desktop");
        assistant = registered(R"({"client_name":"Test Assistant","redirect_uris":[")" +
                               redirectUri + R"("]})");
    }

    std::string addDevice(std::int64_t owner, const std::string& name) {
        const std::string id = Uuid::make();
        const std::string code = id.substr(0, 8);
        store.addPairing({code, id, "bootstrap-" + id, name, clock.now() + 10min,
                          RelayStore::PairingState::Pending, 0, "1.0", clock.now(), "block"});
        store.approvePairing(code, owner, clock.now());
        store.redeemPairing("bootstrap-" + id, "token-" + id, clock.now());
        return id;
    }

    std::string registered(const std::string& body) {
        const HttpsClient::Reply reply = client->postRaw(
            QStringLiteral("/oauth/register"), QByteArray::fromStdString(body), "application/json");
        EXPECT_EQ(reply.status, 201) << reply.raw.toStdString();
        return reply.body.stringMember("client_id") ? *reply.body.stringMember("client_id") : "";
    }

    Fields authorization(const std::string& clientId) const {
        return {{"response_type", "code"},         {"client_id", clientId},
                {"redirect_uri", redirectUri},     {"code_challenge", challengeOf(verifier)},
                {"code_challenge_method", "S256"}, {"resource", origin + "/mcp"},
                {"state", "st+a te/é&="}};
    }

    // The person's decision on the consent page; the answer holds where the page goes next.
    HttpsClient::Reply decide(const Fields& query, bool approve, const std::string& device) {
        return client->post(QStringLiteral("/oauth/authorize"),
                            JSON(JSON::Object{{"query", JSON(encoded(query).toStdString())},
                                              {"approve", JSON(approve)},
                                              {"device_id", JSON(device)}}),
                            session);
    }

    // A code for `device`, approved by the owner.
    std::string code(const std::string& device, const std::string& clientId) {
        const HttpsClient::Reply reply = decide(authorization(clientId), true, device);
        EXPECT_EQ(reply.status, 200) << reply.raw.toStdString();
        return answerIn(*reply.body.stringMember("redirect_to"))["code"];
    }

    HttpsClient::Reply token(const Fields& fields) {
        return client->postRaw(QStringLiteral("/oauth/token"), encoded(fields),
                               "application/x-www-form-urlencoded");
    }

    HttpsClient::Reply exchange(const std::string& theCode, const std::string& theVerifier,
                                const std::string& clientId) {
        return token({{"grant_type", "authorization_code"},
                      {"code", theCode},
                      {"code_verifier", theVerifier},
                      {"client_id", clientId},
                      {"redirect_uri", redirectUri},
                      {"resource", origin + "/mcp"}});
    }

    HttpsClient::Reply refresh(const std::string& refreshToken) {
        return token({{"grant_type", "refresh_token"},
                      {"refresh_token", refreshToken},
                      {"client_id", assistant}});
    }

    // Tokens for `device` (the laptop), through the whole flow.
    JSON tokens(const std::string& device = {}) {
        const HttpsClient::Reply reply =
            exchange(code(device.empty() ? laptop : device, assistant), verifier, assistant);
        EXPECT_EQ(reply.status, 200) << reply.raw.toStdString();
        return reply.body;
    }

    // What the MCP endpoint learns from a call carrying `bearer` (empty: no Authorization).
    // `host` names the relay the call was addressed to (this one by default).
    std::optional<RelayOAuthValidator::Access> access(const std::string& bearer,
                                                      const std::string& device,
                                                      RelayHttpResponse* refusal = nullptr,
                                                      std::string host = {}) {
        RelayHttpRequest request;
        request.method = "POST";
        request.path = QStringLiteral("/mcp");
        request.headers["host"] = QByteArray::fromStdString(host.empty() ? origin.substr(8) : host);
        if (!bearer.empty()) {
            request.headers["authorization"] = "Bearer " + QByteArray::fromStdString(bearer);
        }
        RelayOAuthValidator::Checked checked =
            test::finished(server->oauth()->access(std::move(request), device));
        if (refusal != nullptr) {
            *refusal = checked.refusal;
        }
        return checked.access;
    }

    // A bench on PostgreSQL without a server is skipped (failed on CI, which installs it).
    void SetUp() override {
        if (!unavailable.empty()) {
            if (PostgresServer::required()) {
                FAIL() << unavailable;
            }
            GTEST_SKIP() << unavailable;
        }
    }

    std::string postgresAddress(PostgresServer* own) {
        PostgresServer* server = own != nullptr ? own : PostgresServer::shared(unavailable);
        return server != nullptr ? server->address(server->createDatabase()) : std::string();
    }

    // SQLite also stands in while a bench without PostgreSQL is skipped.
    std::unique_ptr<RelayStore> openStore() {
        if (!address.empty()) {
            return std::make_unique<PostgresRelayStore>(address);
        }
        return std::make_unique<SqliteRelayStore>(dir.filePath(QStringLiteral("relay.sqlite")));
    }

    QTemporaryDir dir;
    std::string unavailable;
    std::string address; // PostgreSQL's; empty on SQLite
    RelayStoreThread storeThread;
    BlockingRelayStore store;
    std::unique_ptr<OAuthStore> oauth;
    std::unique_ptr<PostgresConnection> shared;
    std::unique_ptr<PostgresWebSessions> sessions;
    std::unique_ptr<PostgresRateLimits> limits;
    VirtualClock clock;
    ContractValidator validator;
    std::unique_ptr<RelayServer> server;
    quint16 port = 0;
    std::string origin;
    std::unique_ptr<HttpsClient> client;
    std::map<QByteArray, QByteArray> session;
    std::int64_t account = 0;
    std::string laptop;
    std::string desktop;
    std::string assistant;
};

// What does not depend on the store.
class RelayOAuthTest : public OAuthBench {
protected:
    RelayOAuthTest()
        : OAuthBench(StoreKind::Sqlite) {}
};

// Codes, grants and tokens as each store keeps them.
class RelayOAuthStoresTest : public OAuthBench, public ::testing::WithParamInterface<StoreKind> {
protected:
    RelayOAuthStoresTest()
        : OAuthBench(GetParam()) {}
};

INSTANTIATE_TEST_SUITE_P(Stores, RelayOAuthStoresTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres), storeName);

// A PostgreSQL server of the test's own, to be stopped while the relay uses it.
struct OwnPostgres {
    OwnPostgres()
        : database(PostgresServer::start(why)) {}
    std::string why;
    std::unique_ptr<PostgresServer> database;
};

class RelayOAuthStalledDatabaseTest : protected OwnPostgres, public OAuthBench {
protected:
    RelayOAuthStalledDatabaseTest()
        : OAuthBench(StoreKind::Postgres, database.get()) {}
};

std::string oauthError(const HttpsClient::Reply& reply) {
    const std::string* error = reply.body.stringMember("error");
    return error != nullptr ? *error : std::string();
}

QByteArray challengeHeader(const RelayHttpResponse& response) {
    for (const auto& [name, value] : response.headers) {
        if (name == "WWW-Authenticate") {
            return value;
        }
    }
    return {};
}

TEST_P(RelayOAuthStoresTest, TheWholeFlowGivesTokensForTheChosenDeviceOnly) {
    // Discovery: the resource names this relay as its authorisation server.
    const HttpsClient::Reply resource =
        client->get(QStringLiteral("/.well-known/oauth-protected-resource/mcp"));
    ASSERT_EQ(resource.status, 200) << resource.raw.toStdString();
    EXPECT_EQ(*resource.body.stringMember("resource"), origin + "/mcp");
    EXPECT_EQ(*resource.body.find("authorization_servers")->array()->front().string(), origin);
    const HttpsClient::Reply server_ =
        client->get(QStringLiteral("/.well-known/oauth-authorization-server"));
    EXPECT_EQ(*server_.body.stringMember("issuer"), origin);
    EXPECT_EQ(*server_.body.stringMember("token_endpoint"), origin + "/oauth/token");
    EXPECT_EQ(server_.body.find("code_challenge_methods_supported")->data(), R"(["S256"])");

    // The consent page, and what it shows: the assistant's name, where the person goes next,
    // the account's devices.
    const Fields query = authorization(assistant);
    const HttpsClient::Reply page =
        client->get(QStringLiteral("/oauth/authorize?") + QString::fromLatin1(encoded(query)));
    EXPECT_EQ(page.status, 200);
    EXPECT_TRUE(page.header("content-type").startsWith("text/html"));
    const HttpsClient::Reply details = client->get(
        QStringLiteral("/v1/assistants/consent?") + QString::fromLatin1(encoded(query)), session);
    ASSERT_EQ(details.status, 200) << details.raw.toStdString();
    EXPECT_EQ(*details.body.stringMember("client_name"), "Test Assistant");
    EXPECT_EQ(*details.body.stringMember("redirect_host"), "127.0.0.1");
    EXPECT_EQ(details.body.find("devices")->array()->size(), 2u);

    const HttpsClient::Reply approved = decide(query, true, laptop);
    ASSERT_EQ(approved.status, 200) << approved.raw.toStdString();
    const std::string next = *approved.body.stringMember("redirect_to");
    EXPECT_EQ(next.rfind(redirectUri + "?", 0), 0u) << next;
    Fields back = answerIn(next);
    EXPECT_EQ(back["state"], "st+a te/é&=");
    EXPECT_EQ(back["iss"], origin);

    const HttpsClient::Reply issued = exchange(back["code"], verifier, assistant);
    ASSERT_EQ(issued.status, 200) << issued.raw.toStdString();
    EXPECT_EQ(*issued.body.stringMember("token_type"), "Bearer");
    EXPECT_EQ(issued.body.find("expires_in")->number(), 600);
    const std::string bearer = *issued.body.stringMember("access_token");

    const auto granted = access(bearer, laptop);
    ASSERT_TRUE(granted);
    EXPECT_EQ(granted->accountId, account);
    EXPECT_EQ(granted->clientName, "Test Assistant");

    RelayHttpResponse refusal;
    EXPECT_FALSE(access(bearer, desktop, &refusal));
    EXPECT_EQ(refusal.status, 401);
    const QByteArray metadata = QByteArray::fromStdString(
        "resource_metadata=\"" + origin + "/.well-known/oauth-protected-resource/mcp\"");
    EXPECT_TRUE(challengeHeader(refusal).contains(metadata));
    EXPECT_TRUE(challengeHeader(refusal).contains("error=\"invalid_token\""));
    EXPECT_FALSE(access("", laptop, &refusal));
    EXPECT_EQ(challengeHeader(refusal), "Bearer " + metadata);
    // The same relay under another name is another resource.
    EXPECT_FALSE(access(bearer, laptop, &refusal, "localhost:" + std::to_string(port)));
    EXPECT_TRUE(challengeHeader(refusal).contains("another resource"));

    // The dashboard lists it, with its device and when it was last used.
    const HttpsClient::Reply listed = client->get(QStringLiteral("/v1/assistants"), session);
    ASSERT_EQ(listed.body.find("assistants")->array()->size(), 1u);
    const JSON& row = listed.body.find("assistants")->array()->front();
    EXPECT_EQ(*row.stringMember("client_name"), "Test Assistant");
    EXPECT_EQ(*row.stringMember("device_name"), "Laptop");
    EXPECT_NE(row.stringMember("last_used_at"), nullptr);
}

TEST_F(RelayOAuthTest, AuthorizationRequestsAreRefusedWhereOAuthSays) {
    struct Row {
        const char* name;
        const char* field;
        std::string value; // "-" removes the field
        int status;
        std::string error; // sent back to the redirect URI; "" for the person's page
    };
    const std::vector<Row> rows{
        {"unknown client", "client_id", Uuid::make(), 400, ""},
        {"unregistered redirect", "redirect_uri", "https://elsewhere.example/cb", 400, ""},
        {"plain method", "code_challenge_method", "plain", 302, "invalid_request"},
        {"no method", "code_challenge_method", "-", 302, "invalid_request"},
        {"no challenge", "code_challenge", "-", 302, "invalid_request"},
        {"token response", "response_type", "token", 302, "unsupported_response_type"},
        {"another resource", "resource", "https://elsewhere.example/mcp", 302, "invalid_target"},
        {"no resource", "resource", "-", 302, "invalid_target"},
        {"loopback on another port", "redirect_uri", "http://127.0.0.1:50000/callback", 200, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Fields query = authorization(assistant);
        if (row.value == "-") {
            query.erase(row.field);
        } else {
            query[row.field] = row.value;
        }
        const HttpsClient::Reply reply =
            client->get(QStringLiteral("/oauth/authorize?") + QString::fromLatin1(encoded(query)));
        EXPECT_EQ(reply.status, row.status) << reply.raw.toStdString();
        if (row.status == 302) {
            Fields back = answerIn(reply.header("location").toStdString());
            EXPECT_EQ(back["error"], row.error);
            EXPECT_EQ(back["state"], "st+a te/é&=");
        }
    }
}

TEST_F(RelayOAuthTest, TheConsentIsTheSignedInPersonsOwnDecision) {
    const Fields query = authorization(assistant);
    const std::string stranger = addDevice(*store.createAccount("other", "hash"), "Theirs");
    auto withHeader = [this](const char* name, const QByteArray& value) {
        auto headers = session;
        headers[name] = value;
        return headers;
    };
    const JSON body(JSON::Object{{"query", JSON(encoded(query).toStdString())},
                                 {"approve", JSON(true)},
                                 {"device_id", JSON(laptop)}});
    struct Row {
        const char* name;
        HttpsClient::Reply reply;
        int status;
        std::string code;
    };
    const std::vector<Row> rows{
        {"another site's page",
         client->post(QStringLiteral("/oauth/authorize"), body,
                      withHeader("Origin", "https://elsewhere.example")),
         403, "csrf_failed"},
        {"no CSRF token",
         client->post(QStringLiteral("/oauth/authorize"), body, withHeader("X-CSRF-Token", "x")),
         403, "csrf_failed"},
        {"signed out",
         client->post(QStringLiteral("/oauth/authorize"), body,
                      {{"Origin", QByteArray::fromStdString(origin)}}),
         401, "unauthorized"},
        {"someone else's device", decide(query, true, stranger), 404, "device_not_found"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.reply.status, row.status) << row.reply.raw.toStdString();
        EXPECT_EQ(row.reply.code(), row.code);
    }
    const HttpsClient::Reply denied = decide(query, false, laptop);
    Fields back = answerIn(*denied.body.stringMember("redirect_to"));
    EXPECT_EQ(back["error"], "access_denied");
    EXPECT_EQ(back["state"], "st+a te/é&=");
    EXPECT_EQ(back.count("code"), 0u);
}

TEST_P(RelayOAuthStoresTest, CodesAreSingleUseShortLivedAndBoundToTheirVerifierAndClient) {
    const std::string other = registered(R"({"redirect_uris":[")" + redirectUri + R"("]})");

    // A wrong verifier spends the code: the right one cannot follow.
    const std::string guessed = code(laptop, assistant);
    EXPECT_EQ(oauthError(exchange(guessed, verifier + "x", assistant)), "invalid_grant");
    EXPECT_EQ(oauthError(exchange(guessed, verifier, assistant)), "invalid_grant");

    const std::string stolen = code(laptop, assistant);
    EXPECT_EQ(oauthError(exchange(stolen, verifier, other)), "invalid_grant");

    const std::string late = code(laptop, assistant);
    clock.advance(RelayOAuthAuthority::codeLifetime);
    EXPECT_EQ(oauthError(exchange(late, verifier, assistant)), "invalid_grant");

    // A code that comes back after it was exchanged ends what it bought.
    const std::string twice = code(laptop, assistant);
    const HttpsClient::Reply first = exchange(twice, verifier, assistant);
    ASSERT_EQ(first.status, 200);
    const HttpsClient::Reply second = exchange(twice, verifier, assistant);
    EXPECT_EQ(second.status, 400);
    EXPECT_EQ(oauthError(second), "invalid_grant");
    EXPECT_FALSE(access(*first.body.stringMember("access_token"), laptop));

    struct Row {
        const char* name;
        HttpsClient::Reply reply;
        int status;
        std::string error;
    };
    const std::vector<Row> rows{
        {"unknown grant type", token({{"grant_type", "password"}, {"client_id", assistant}}), 400,
         "unsupported_grant_type"},
        {"unknown client", exchange(code(laptop, assistant), verifier, Uuid::make()), 401,
         "invalid_client"},
        {"no verifier",
         token({{"grant_type", "authorization_code"}, {"code", "c"}, {"client_id", assistant}}),
         400, "invalid_request"},
        {"parameter twice",
         client->postRaw(QStringLiteral("/oauth/token"),
                         "grant_type=refresh_token&grant_type=refresh_token",
                         "application/x-www-form-urlencoded"),
         400, "invalid_request"},
        {"JSON body",
         client->post(QStringLiteral("/oauth/token"),
                      JSON(JSON::Object{{"grant_type", JSON("refresh_token")}})),
         400, "invalid_request"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.reply.status, row.status) << row.reply.raw.toStdString();
        EXPECT_EQ(oauthError(row.reply), row.error);
    }
}

TEST_P(RelayOAuthStoresTest, RefreshRotatesAndASpentRefreshTokenEndsTheGrant) {
    const JSON first = tokens();
    const HttpsClient::Reply rotated = refresh(*first.stringMember("refresh_token"));
    ASSERT_EQ(rotated.status, 200) << rotated.raw.toStdString();
    EXPECT_NE(*rotated.body.stringMember("refresh_token"), *first.stringMember("refresh_token"));
    EXPECT_TRUE(access(*rotated.body.stringMember("access_token"), laptop));

    // The old refresh token again: someone copied it, so everything of this grant ends.
    EXPECT_EQ(oauthError(refresh(*first.stringMember("refresh_token"))), "invalid_grant");
    EXPECT_FALSE(access(*rotated.body.stringMember("access_token"), laptop));
    EXPECT_EQ(oauthError(refresh(*rotated.body.stringMember("refresh_token"))), "invalid_grant");
}

TEST_P(RelayOAuthStoresTest, ExpiredRevokedAndOrphanedTokensAreRefused) {
    // Disconnected in the dashboard (a call like the other API calls: CSRF token required).
    const JSON revoked = tokens();
    const HttpsClient::Reply listed = client->get(QStringLiteral("/v1/assistants"), session);
    const std::string id = *listed.body.find("assistants")->array()->front().stringMember("id");
    const QString path = QStringLiteral("/v1/assistants/") + QString::fromStdString(id);
    auto forged = session;
    forged["X-CSRF-Token"] = "x";
    EXPECT_EQ(client->call("DELETE", path, {}, forged).status, 403);
    EXPECT_TRUE(access(*revoked.stringMember("access_token"), laptop));
    EXPECT_EQ(client->call("DELETE", path, {}, session).status, 200);
    EXPECT_FALSE(access(*revoked.stringMember("access_token"), laptop));
    EXPECT_EQ(oauthError(refresh(*revoked.stringMember("refresh_token"))), "invalid_grant");

    // The device left the account: its assistant's tokens go with it.
    const JSON orphaned = tokens();
    store.revokeDevice(laptop);
    EXPECT_FALSE(access(*orphaned.stringMember("access_token"), laptop));
    EXPECT_EQ(oauthError(refresh(*orphaned.stringMember("refresh_token"))), "invalid_grant");

    // Time runs out (the person's session with it, so this comes last).
    const JSON expiring = tokens(desktop);
    clock.advance(RelayOAuthAuthority::accessLifetime - 1s);
    EXPECT_TRUE(access(*expiring.stringMember("access_token"), desktop));
    clock.advance(1s);
    RelayHttpResponse refusal;
    EXPECT_FALSE(access(*expiring.stringMember("access_token"), desktop, &refusal));
    EXPECT_TRUE(challengeHeader(refusal).contains("expired"));
    const HttpsClient::Reply renewed = refresh(*expiring.stringMember("refresh_token"));
    ASSERT_EQ(renewed.status, 200);
    clock.advance(RelayOAuthAuthority::refreshLifetime);
    EXPECT_EQ(oauthError(refresh(*renewed.body.stringMember("refresh_token"))), "invalid_grant");
}

TEST_P(RelayOAuthStoresTest, UnusedRegistrationsGoAfterADayAndUsedOnesStay) {
    // Anyone may register: a registration nobody consented to must not stay for ever.
    tokens();
    const OAuthStore::Time now = clock.now();
    oauth->addClient({"stray", "Stray", {"https://stray.example/back"}, now});
    oauth->purgeOAuth(now + 23h);
    EXPECT_TRUE(oauth->client("stray"));
    oauth->purgeOAuth(now + 25h);
    EXPECT_FALSE(oauth->client("stray"));
    EXPECT_TRUE(oauth->client(assistant));
}

TEST_F(RelayOAuthTest, RegistrationRefusesBadBodies) {
    struct Row {
        const char* name;
        QByteArray body;
        std::string error;
    };
    const std::vector<Row> rows{
        {"not JSON", "redirect_uris=x", "invalid_client_metadata"},
        {"an array", "[]", "invalid_client_metadata"},
        {"no redirect", R"({"client_name":"A"})", "invalid_redirect_uri"},
        {"no redirect listed", R"({"redirect_uris":[]})", "invalid_redirect_uri"},
        {"plain http", R"({"redirect_uris":["http://example.com/cb"]})", "invalid_redirect_uri"},
        {"script", "{\"redirect_uris\":[\"javascript:alert(1)\"]}", "invalid_redirect_uri"},
        {"fragment", R"({"redirect_uris":["https://a.example/cb#x"]})", "invalid_redirect_uri"},
        {"user info", R"({"redirect_uris":["https://u@a.example/cb"]})", "invalid_redirect_uri"},
        {"password grant",
         R"({"redirect_uris":["https://a.example/cb"],"grant_types":["password"]})",
         "invalid_client_metadata"},
        {"name with an override",
         "{\"redirect_uris\":[\"https://a.example/cb\"],\"client_name\":\"A\xE2\x80\xAE\"}",
         "invalid_client_metadata"},
        {"too large",
         R"({"redirect_uris":["https://a.example/cb"],"x":")" + QByteArray(9000, 'x') + "\"}",
         "invalid_client_metadata"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const HttpsClient::Reply reply =
            client->postRaw(QStringLiteral("/oauth/register"), row.body, "application/json");
        EXPECT_EQ(reply.status, 400) << reply.raw.toStdString();
        EXPECT_EQ(oauthError(reply), row.error);
    }
    const HttpsClient::Reply good = client->postRaw(
        QStringLiteral("/oauth/register"),
        R"({"redirect_uris":["https://a.example/cb"],"token_endpoint_auth_method":"client_secret_basic"})",
        "application/json");
    EXPECT_EQ(good.status, 201);
    EXPECT_EQ(*good.body.stringMember("token_endpoint_auth_method"), "none");
    EXPECT_EQ(*good.body.stringMember("client_name"), "a.example");

    // Every registration is a row: one address gets a bounded number an hour.
    const QByteArray again = R"({"redirect_uris":["https://a.example/cb"]})";
    int accepted = 0;
    while (client->postRaw(QStringLiteral("/oauth/register"), again, "application/json").status ==
               201 &&
           ++accepted <= RelayOAuthHttp::registrationsPerHour) {
    }
    EXPECT_LT(accepted, RelayOAuthHttp::registrationsPerHour);
    clock.advance(1h);
    EXPECT_EQ(client->postRaw(QStringLiteral("/oauth/register"), again, "application/json").status,
              201);
}

// The database stops answering: an assistant's call and token request wait for it, while the
// relay's main thread goes on answering everything else.
TEST_F(RelayOAuthStalledDatabaseTest, AStoppedDatabaseHoldsOnlyTheCallsThatNeedIt) {
    ASSERT_TRUE(database) << why;
    const JSON issued = tokens();
    QNetworkAccessManager manager;
    const auto send = [&](const QString& path, const QByteArray& type, const QByteArray& body,
                          const QByteArray& bearer) {
        QNetworkRequest request(QUrl(QString::fromStdString(origin) + path));
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(TestRelay::authority());
        request.setSslConfiguration(tls);
        request.setRawHeader("Content-Type", type);
        request.setRawHeader("Accept", "application/json, text/event-stream");
        if (!bearer.isEmpty()) {
            request.setRawHeader("Authorization", "Bearer " + bearer);
        }
        QNetworkReply* reply = manager.post(request, body);
        reply->setParent(&manager);
        return reply;
    };
    const auto turn = [](std::chrono::milliseconds span) {
        QEventLoop loop;
        QTimer::singleShot(span, &loop, &QEventLoop::quit);
        loop.exec();
    };

    // Let go by another thread after a while at the latest: a relay that waits for the server
    // on this thread would otherwise never be answered.
    database->pause(true);
    std::jthread release([this](std::stop_token stop) {
        std::mutex lock;
        std::unique_lock<std::mutex> held(lock);
        std::condition_variable_any().wait_for(held, stop, 8s, [] { return false; });
        database->pause(false);
    });
    QNetworkReply* call =
        send(QStringLiteral("/mcp"), "application/json",
             R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":)"
             R"("2025-11-25","capabilities":{},"clientInfo":{"name":"test","version":"1"}}})",
             QByteArray::fromStdString(*issued.stringMember("access_token")));
    QNetworkReply* refreshed =
        send(QStringLiteral("/oauth/token"), "application/x-www-form-urlencoded",
             encoded({{"grant_type", "refresh_token"},
                      {"refresh_token", *issued.stringMember("refresh_token")},
                      {"client_id", assistant}}),
             {});
    QElapsedTimer took;
    took.start();
    turn(500ms); // both reach the relay and wait for the database
    const HttpsClient::Reply metadata =
        client->get(QStringLiteral("/.well-known/oauth-authorization-server"));
    EXPECT_EQ(metadata.status, 200);
    EXPECT_LT(took.elapsed(), 1500) << "the main thread waited for the database";
    EXPECT_FALSE(call->isFinished());
    EXPECT_FALSE(refreshed->isFinished());

    release.request_stop();
    release.join();
    for (int i = 0; i < 200 && !(call->isFinished() && refreshed->isFinished()); ++i) {
        turn(50ms);
    }
    EXPECT_EQ(call->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200)
        << call->readAll().toStdString();
    EXPECT_EQ(refreshed->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200)
        << refreshed->readAll().toStdString();
}

} // namespace
} // namespace corvane::test
