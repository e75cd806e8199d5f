#include "CorvaneNative/LocalHTTPServer.h"

#include "CorvaneNative/LocalHTTPListener.h"
#include "CorvaneNative/LocalHTTPServerError.h"
#include "support/RawHTTPClient.h"

#include <QCoro/QCoroTimer>
#include <QDir>
#include <QHostAddress>
#include <QTcpServer>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace corvane {
namespace {

using namespace std::chrono_literals;
using test::RawHTTPClient;

constexpr std::string_view token = "local-api-token-for-tests";

// Answers 200 with {"echo": body}.
QCoro::Task<LocalHTTPResponse> echo(int* calls, JSON body) {
    ++*calls;
    co_return LocalHTTPResponse{200, JSON::Object{{"echo", std::move(body)}}};
}

// Answers only once `gate` fires (a test starts it with a zero interval to let the answer go).
QCoro::Task<LocalHTTPResponse> gated(QTimer* gate, JSON body) {
    if (body.find("wait"))
        co_await gate;
    co_return LocalHTTPResponse{200, std::move(body)};
}

QCoro::Task<LocalHTTPResponse> conflict(JSON) {
    co_return LocalHTTPResponse{409, JSON::Object{{"error_code", "duplicate_command"}}};
}

QCoro::Task<LocalHTTPResponse> failing(bool throws, JSON) {
    if (throws)
        throw std::runtime_error("handler broke its promise");
    co_return LocalHTTPResponse{200, std::numeric_limits<double>::quiet_NaN()};
}

class LocalHTTPServerTest : public ::testing::Test {
protected:
    std::unique_ptr<LocalHTTPServer> start(LocalHTTPHandler handler,
                                           std::chrono::milliseconds lifetime = 5000ms) {
        LocalHTTPServer::Options options;
        options.connectionLifetime = lifetime;
        options.acceptRetryDelay = 20ms;
        auto server = std::make_unique<LocalHTTPServer>(0, token, std::move(handler), options);
        server->start();
        return server;
    }

    std::unique_ptr<LocalHTTPServer> startEcho(std::chrono::milliseconds lifetime = 5000ms) {
        return start([this](JSON body) { return echo(&calls, std::move(body)); }, lifetime);
    }

    RawHTTPClient::Reply exchange(quint16 port, std::string_view bytes) {
        RawHTTPClient client(port);
        EXPECT_TRUE(client.connected());
        client.send(bytes);
        return client.readUntilClosed(2s);
    }

    int calls = 0;
};

TEST_F(LocalHTTPServerTest, AnswersWithExactlyTheseBytesAndCloses) {
    auto server = startEcho();
    const auto reply =
        exchange(server->port(), RawHTTPClient::request(server->port(), token, R"({"url":"a/b"})"));
    const std::string body = R"({"echo":{"url":"a\/b"}})";
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.bytes, "HTTP/1.1 200 Response\r\nContent-Type: application/json\r\n"
                           "Content-Length: " +
                               std::to_string(body.size()) +
                               "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body);
    EXPECT_EQ(calls, 1);
}

TEST_F(LocalHTTPServerTest, WritesTheHandlersStatusUnchanged) {
    auto server = start(conflict);
    const auto reply =
        exchange(server->port(), RawHTTPClient::request(server->port(), token, "{}"));
    EXPECT_EQ(reply.status(), 409);
    EXPECT_EQ(reply.bytes.substr(0, 23), "HTTP/1.1 409 Response\r\n");
    EXPECT_EQ(reply.body(), R"({"error_code":"duplicate_command"})");
}

TEST_F(LocalHTTPServerTest, RefusesOnTheWireWithoutCallingTheHandler) {
    auto server = startEcho();
    const quint16 port = server->port();
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    const std::string good = RawHTTPClient::request(port, token, "{}");
    auto replace = [](std::string text, std::string_view from, std::string_view to) {
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    // Every header is fine and the body within its limit, but head and body exceed 65536 bytes.
    std::string oversize = RawHTTPClient::request(port, token, std::string(60000, ' '));
    oversize.insert(oversize.find(host),
                    "X-Pad: " + std::string(65537 - oversize.size() - 9, 'p') + "\r\n");
    EXPECT_EQ(oversize.size(), 65537u);
    struct Row {
        const char* name;
        std::string bytes;
        int status;
        std::string body;
    };
    const std::vector<Row> rows = {
        {"oversize head", std::string(65537, 'x'), 413,
         R"({"error":{"code":"request_too_large","message":"request too large"}})"},
        {"oversize request", oversize, 413, ""},
        {"route", replace(good, "POST ", "GET "), 404,
         R"({"error":{"code":"route_not_found","message":"route not found"}})"},
        {"origin with a valid token", replace(good, host, host + "ORIGIN: http://x\r\n"), 400,
         R"({"error":{"code":"invalid_request","message":"invalid request"}})"},
        {"declared 60001", replace(good, "Content-Length: 2", "Content-Length: 60001"), 400, ""},
        {"duplicate header", replace(good, host, host + host), 400, ""},
        {"lower-case bearer", replace(good, "Bearer ", "bearer "), 401,
         R"({"error":{"code":"unauthorized","message":"unauthorized"}})"},
        {"bad length and bad token",
         replace(replace(good, "Content-Length: 2", "Content-Length: x"), "Bearer l", "Bearer L"),
         400, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto reply = exchange(port, row.bytes);
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(reply.status(), row.status);
        if (!row.body.empty()) {
            EXPECT_EQ(reply.body(), row.body);
        }
    }
    EXPECT_EQ(calls, 0);
}

TEST_F(LocalHTTPServerTest, ReadsARequestArrivingInPieces) {
    auto server = startEcho();
    const std::string bytes =
        RawHTTPClient::request(server->port(), token, R"({"pieces":[1,2,3,4,5,6,7,8]})");
    RawHTTPClient client(server->port());
    // Split inside the head terminator and inside the body.
    const std::size_t cuts[] = {0, 20, bytes.find("\r\n\r\n") + 2, bytes.size() - 10, bytes.size()};
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
        ASSERT_TRUE(client.send(std::string_view(bytes).substr(cuts[i], cuts[i + 1] - cuts[i])));
        RawHTTPClient::runEventLoop(30ms);
    }
    const auto reply = client.readUntilClosed(2s);
    EXPECT_EQ(reply.status(), 200);
    EXPECT_EQ(reply.body(), R"({"echo":{"pieces":[1,2,3,4,5,6,7,8]}})");
}

TEST_F(LocalHTTPServerTest, AnswersAPeerThatHasFinishedSending) {
    auto server = startEcho();
    {
        // A complete request followed by a half-close still gets its answer.
        RawHTTPClient client(server->port());
        client.send(RawHTTPClient::request(server->port(), token, "[]"));
        client.finishSending();
        EXPECT_EQ(client.readUntilClosed(2s).status(), 200);
    }
    {
        // Declares 100 bytes, sends 50 and half-closes: the body can never be complete.
        RawHTTPClient client(server->port());
        std::string bytes = RawHTTPClient::request(server->port(), token, std::string(100, ' '));
        bytes.resize(bytes.size() - 50);
        client.send(bytes);
        client.finishSending();
        const auto reply = client.readUntilClosed(2s);
        EXPECT_EQ(reply.status(), 400);
    }
    {
        // Half of a head and a half-close: closed without an answer.
        RawHTTPClient client(server->port());
        client.send("POST /v1/commands HTTP/1.1\r\nHost: ");
        client.finishSending();
        const auto reply = client.readUntilClosed(2s);
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(reply.bytes, "");
    }
    EXPECT_EQ(calls, 1);
}

TEST_F(LocalHTTPServerTest, ClosesAConnectionWhenItsLifetimeRunsOut) {
    auto server = startEcho(200ms);
    RawHTTPClient silent(server->port());
    RawHTTPClient partial(server->port());
    std::string bytes = RawHTTPClient::request(server->port(), token, std::string(100, ' '));
    bytes.resize(bytes.size() - 50);
    partial.send(bytes);

    const auto begin = std::chrono::steady_clock::now();
    const auto partialReply = partial.readUntilClosed(1s);
    const auto silentReply = silent.readUntilClosed(1s);
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    EXPECT_TRUE(partialReply.closed);
    EXPECT_EQ(partialReply.bytes, "");
    EXPECT_TRUE(silentReply.closed);
    EXPECT_EQ(silentReply.bytes, "");
    EXPECT_GE(elapsed, 150ms);
    EXPECT_LT(elapsed, 900ms);
}

TEST_F(LocalHTTPServerTest, ASlowHandlerDoesNotHoldOtherConnections) {
    QTimer gate;
    gate.setSingleShot(true);
    gate.start(1h);
    auto server = start([&gate](JSON body) { return gated(&gate, std::move(body)); });
    const quint16 port = server->port();

    RawHTTPClient slow(port);
    slow.send(RawHTTPClient::request(port, token, R"({"wait":true})"));
    RawHTTPClient::runEventLoop(50ms);

    const auto fast = exchange(port, RawHTTPClient::request(port, token, R"({"fast":true})"));
    EXPECT_EQ(fast.status(), 200);
    EXPECT_EQ(fast.body(), R"({"fast":true})");

    const auto stillWaiting = slow.readUntilClosed(50ms);
    EXPECT_FALSE(stillWaiting.closed);
    gate.start(0);
    const auto released = slow.readUntilClosed(2s);
    EXPECT_EQ(released.status(), 200);
    EXPECT_EQ(released.body(), R"({"wait":true})");
}

TEST_F(LocalHTTPServerTest, DestroyingTheServerWithAHandlerPendingIsSafe) {
    QTimer gate;
    gate.setSingleShot(true);
    gate.start(1h);
    auto server = start([&gate](JSON body) { return gated(&gate, std::move(body)); });
    RawHTTPClient client(server->port());
    client.send(RawHTTPClient::request(server->port(), token, R"({"wait":1})"));
    RawHTTPClient::runEventLoop(50ms);

    server.reset();
    const auto reply = client.readUntilClosed(1s);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.bytes, "");
    // The handler finishes after its server is gone; its answer has nowhere to go.
    gate.start(0);
    RawHTTPClient::runEventLoop(50ms);
}

TEST_F(LocalHTTPServerTest, ClosesWithoutAnswerWhenTheHandlerFails) {
    for (const bool throws : {true, false}) {
        SCOPED_TRACE(throws ? "throws" : "answers NaN");
        auto server = start([throws](JSON body) { return failing(throws, std::move(body)); });
        const auto reply =
            exchange(server->port(), RawHTTPClient::request(server->port(), token, "{}"));
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(reply.bytes, "");
    }
}

TEST_F(LocalHTTPServerTest, StopClosesTheListenerButFinishesOpenRequests) {
    QTimer gate;
    gate.setSingleShot(true);
    gate.start(1h);
    auto server = start([&gate](JSON body) { return gated(&gate, std::move(body)); });
    const quint16 port = server->port();
    RawHTTPClient pending(port);
    pending.send(RawHTTPClient::request(port, token, R"({"wait":2})"));
    RawHTTPClient::runEventLoop(50ms);

    server->stop();
    EXPECT_FALSE(RawHTTPClient(port).connected());
    gate.start(0);
    EXPECT_EQ(pending.readUntilClosed(2s).status(), 200);
}

TEST_F(LocalHTTPServerTest, ConstructionThrowsWhenThePortIsTaken) {
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress(QHostAddress::LocalHost), 0));
    int unused = 0;
    EXPECT_THROW(LocalHTTPServer(occupant.serverPort(), token,
                                 [&unused](JSON body) { return echo(&unused, std::move(body)); }),
                 LocalHTTPServerError);
}

TEST_F(LocalHTTPServerTest, ClosesConnectionsBeyondTheCapUnread) {
    auto server = startEcho();
    const quint16 port = server->port();
    std::vector<std::unique_ptr<RawHTTPClient>> open;
    for (std::size_t i = 0; i < LocalHTTPListener::maxOpenConnections; ++i) {
        open.push_back(std::make_unique<RawHTTPClient>(port));
        ASSERT_TRUE(open.back()->connected());
    }
    RawHTTPClient::runEventLoop(100ms);

    RawHTTPClient extra(port);
    extra.send(RawHTTPClient::request(port, token, "{}"));
    const auto refused = extra.readUntilClosed(1s);
    EXPECT_TRUE(refused.closed);
    EXPECT_EQ(refused.bytes, "");

    // Every open connection is still served, and once one ends a newcomer is accepted again.
    open.front()->send(RawHTTPClient::request(port, token, "1"));
    EXPECT_EQ(open.front()->readUntilClosed(2s).status(), 200);
    open.erase(open.begin());
    RawHTTPClient::runEventLoop(50ms);
    EXPECT_EQ(exchange(port, RawHTTPClient::request(port, token, "2")).status(), 200);
    EXPECT_EQ(calls, 2);
}

// Lowers the descriptor limit to just above what is open and fills every free slot; undoes both
// when it goes.
class DescriptorExhaustion {
public:
    DescriptorExhaustion() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        int highest = 0;
        for (const QString& entry : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files))
            highest = std::max(highest, entry.toInt());
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(highest + 16);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd = ::dup(0); fd >= 0; fd = ::dup(0))
            fillers_.push_back(fd);
    }
    ~DescriptorExhaustion() {
        release();
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    // Frees one slot for the caller.
    void releaseOne() {
        ::close(fillers_.back());
        fillers_.pop_back();
    }
    void release() {
        for (int fd : fillers_)
            ::close(fd);
        fillers_.clear();
    }
    bool exhausted() const { return !fillers_.empty() && ::dup(0) < 0 && errno == EMFILE; }

private:
    rlimit saved_{};
    std::vector<int> fillers_;
};

TEST_F(LocalHTTPServerTest, AcceptsAgainOnceDescriptorsAreFree) {
    auto server = startEcho();
    const quint16 port = server->port();
    const std::string request = RawHTTPClient::request(port, token, R"({"after":"EMFILE"})");

    // The sanitizers' type checks need a free descriptor on a cache miss, so run the same paths
    // while descriptors are plentiful. Twice: the socket thread finishes with one connection
    // before it answers the next, so no tail of the first runs during the exhaustion.
    ASSERT_EQ(exchange(port, request).status(), 200);
    ASSERT_EQ(exchange(port, request).status(), 200);
    RawHTTPClient::runEventLoop(20ms);

    std::unique_ptr<RawHTTPClient> client;
    {
        DescriptorExhaustion exhaustion;
        ASSERT_TRUE(exhaustion.exhausted());
        // The client takes the last free slot, so the server's accept fails with EMFILE.
        exhaustion.releaseOne();
        client = std::make_unique<RawHTTPClient>(port);
        ASSERT_TRUE(client->connected());
        client->send(request);
        const auto starved = client->readUntilClosed(150ms);
        EXPECT_FALSE(starved.closed);
        EXPECT_EQ(starved.bytes, "");
    }
    const auto reply = client->readUntilClosed(2s);
    EXPECT_EQ(reply.status(), 200);
    EXPECT_EQ(reply.body(), R"({"echo":{"after":"EMFILE"}})");
    EXPECT_EQ(exchange(port, request).status(), 200);
}

TEST(LocalHTTPListener, PausesInsteadOfSpinningWhileDescriptorsAreExhausted) {
    std::unique_ptr<LocalHTTPListener> listener;
    auto answer = [&listener](quint64 id, JSON body) {
        listener->respond(id, LocalHTTPResponse{200, std::move(body)});
    };
    listener = std::make_unique<LocalHTTPListener>(LocalHTTPRequestReader::hashToken(token), 5s,
                                                   50ms, answer);
    QString error;
    ASSERT_TRUE(listener->open(0, error)) << error.toStdString();
    listener->startAccepting();
    const quint16 port = listener->port();
    for (int i = 0; i < 2; ++i) {
        RawHTTPClient warmUp(port);
        warmUp.send(RawHTTPClient::request(port, token, "1"));
        ASSERT_EQ(warmUp.readUntilClosed(2s).status(), 200);
    }
    RawHTTPClient::runEventLoop(20ms);

    std::unique_ptr<RawHTTPClient> client;
    {
        DescriptorExhaustion exhaustion;
        ASSERT_TRUE(exhaustion.exhausted());
        exhaustion.releaseOne();
        client = std::make_unique<RawHTTPClient>(port);
        client->send(RawHTTPClient::request(port, token, "2"));
        EXPECT_EQ(client->readUntilClosed(300ms).bytes, "");
    }
    // One try at first and then one per retry delay, not thousands.
    EXPECT_GE(listener->failedAccepts(), 2u);
    EXPECT_LE(listener->failedAccepts(), 10u);
    const auto reply = client->readUntilClosed(2s);
    EXPECT_EQ(reply.status(), 200);
    EXPECT_EQ(reply.body(), "2");
}

} // namespace
} // namespace corvane
