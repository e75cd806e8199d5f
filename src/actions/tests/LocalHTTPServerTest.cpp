#include "actions/LocalHTTPServer.h"

#include "actions/LocalHTTPConnection.h"
#include "actions/LocalHTTPListener.h"
#include "actions/LocalHTTPServerError.h"
#include "support/RawHTTPClient.h"

#include <QCoreApplication>
#include <QCoro/QCoroTimer>
#include <QDir>
#include <QHostAddress>
#include <QTcpServer>
#include <QTimer>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
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
// Only runs out when a test is about to fail.
constexpr auto patience = 10s;

std::string errorBody(std::string_view code, std::string_view message) {
    return R"({"error":{"code":")" + std::string(code) + R"(","message":")" + std::string(message) +
           R"("}})";
}

// Answers 200 with {"echo": body}.
QCoro::Task<LocalHTTPResponse> echo(int* calls, JSON body) {
    ++*calls;
    co_return LocalHTTPResponse{200, JSON::Object{{"echo", std::move(body)}}};
}

// Holds every request whose body has "wait" until opened, counting those it holds and lets go.
struct Gate {
    Gate() {
        timer.setSingleShot(true);
        timer.start(1h);
    }
    void open() { timer.start(0); }

    QTimer timer;
    int entered = 0;
    int released = 0;
};

QCoro::Task<LocalHTTPResponse> gated(Gate* gate, JSON body) {
    if (body.find("wait")) {
        ++gate->entered;
        co_await &gate->timer;
        ++gate->released;
    }
    co_return LocalHTTPResponse{200, std::move(body)};
}

// Answers 409 with {"error": body}.
QCoro::Task<LocalHTTPResponse> conflict(JSON body) {
    co_return LocalHTTPResponse{409, JSON::Object{{"error", std::move(body)}}};
}

QCoro::Task<LocalHTTPResponse> failing(bool throws, JSON) {
    if (throws)
        throw std::runtime_error("handler broke its promise");
    co_return LocalHTTPResponse{200, std::numeric_limits<double>::quiet_NaN()};
}

class LocalHTTPServerTest : public ::testing::Test {
protected:
    static LocalHTTPServer::Options options(std::chrono::milliseconds lifetime = 1h) {
        LocalHTTPServer::Options options;
        options.connectionLifetime = lifetime;
        options.acceptRetryDelay = 20ms;
        return options;
    }

    std::unique_ptr<LocalHTTPServer>
    start(LocalHTTPHandler handler,
          LocalHTTPServer::Options options = LocalHTTPServerTest::options()) {
        auto server = std::make_unique<LocalHTTPServer>(0, token, std::move(handler), options);
        server->start();
        return server;
    }

    std::unique_ptr<LocalHTTPServer> startEcho() {
        return start([this](JSON body) { return echo(&calls, std::move(body)); });
    }

    std::unique_ptr<LocalHTTPServer> startGated(Gate& gate) {
        return start([&gate](JSON body) { return gated(&gate, std::move(body)); });
    }

    static RawHTTPClient::Reply exchange(quint16 port, std::string_view bytes) {
        RawHTTPClient client(port);
        EXPECT_TRUE(client.connected());
        EXPECT_TRUE(client.send(bytes));
        return client.readUntilClosed(patience);
    }

    int calls = 0;
};

TEST_F(LocalHTTPServerTest, WritesTheHandlersAnswerInExactlyTheseBytesAndCloses) {
    auto server = start(conflict);
    const auto reply =
        exchange(server->port(), RawHTTPClient::request(server->port(), token, R"({"url":"a/b"})"));
    const std::string body = R"({"error":{"url":"a\/b"}})";
    EXPECT_TRUE(reply.closed);
    EXPECT_FALSE(reply.reset);
    EXPECT_EQ(reply.bytes, "HTTP/1.1 409 Response\r\nContent-Type: application/json\r\n"
                           "Content-Length: " +
                               std::to_string(body.size()) +
                               "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body);
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
    // Every header is fine and the body within its limit, but head and body come to 65600 bytes,
    // all sent before the client reads: it must get the answer, not a reset.
    std::string oversize = RawHTTPClient::request(port, token, std::string(60000, ' '));
    oversize.insert(oversize.find(host),
                    "X-Pad: " + std::string(65600 - oversize.size() - 9, 'p') + "\r\n");
    ASSERT_EQ(oversize.size(), 65600u);
    const std::string tooLarge = errorBody("request_too_large", "request too large");
    struct Row {
        const char* name;
        std::string bytes;
        int status;
        std::string body;
    };
    const std::vector<Row> rows = {
        {"65537 bytes without a head", std::string(65537, 'x'), 413, tooLarge},
        {"65600-byte request", oversize, 413, tooLarge},
        {"route", replace(good, "POST ", "GET "), 404,
         errorBody("route_not_found", "route not found")},
        {"lower-case bearer", replace(good, "Bearer ", "bearer "), 401,
         errorBody("unauthorized", "unauthorized")},
        // The blank line such a client sends never ends a head; it is refused at once instead.
        {"bare line feeds", "POST /v1/commands HTTP/1.1\nHost: 127.0.0.1\n\n", 400,
         errorBody("invalid_request", "invalid request")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto reply = exchange(port, row.bytes);
        EXPECT_TRUE(reply.closed);
        EXPECT_FALSE(reply.reset);
        EXPECT_EQ(reply.status(), row.status);
        EXPECT_EQ(reply.body(), row.body);
    }
    EXPECT_EQ(calls, 0);
}

TEST_F(LocalHTTPServerTest, AnswersAPeerThatHasFinishedSending) {
    auto server = startEcho();
    const quint16 port = server->port();
    std::string halfBody = RawHTTPClient::request(port, token, std::string(100, ' '));
    halfBody.resize(halfBody.size() - 50);
    struct Row {
        const char* name;
        std::string bytes;
        int status; // -1: closed without an answer
    };
    const Row rows[] = {
        {"complete request", RawHTTPClient::request(port, token, "[]"), 200},
        {"body that can never be complete", halfBody, 400},
        {"half a head", "POST /v1/commands HTTP/1.1\r\nHost: ", -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RawHTTPClient client(port);
        client.send(row.bytes);
        client.finishSending();
        const auto reply = client.readUntilClosed(patience);
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(reply.status(), row.status);
    }
    EXPECT_EQ(calls, 1);
}

TEST_F(LocalHTTPServerTest, ClosesAConnectionWhenItsLifetimeRunsOut) {
    const auto begin = std::chrono::steady_clock::now();
    auto server =
        start([this](JSON body) { return echo(&calls, std::move(body)); }, options(200ms));
    RawHTTPClient headless(server->port());
    headless.send("P");
    RawHTTPClient bodyless(server->port());
    std::string bytes = RawHTTPClient::request(server->port(), token, std::string(100, ' '));
    bytes.resize(bytes.size() - 50);
    bodyless.send(bytes);

    for (RawHTTPClient* client : {&bodyless, &headless}) {
        const auto reply = client->readUntilClosed(patience);
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(reply.bytes, "");
    }
    // Accepted after `begin`, so never closed sooner (precise timers do not fire early).
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 200ms);
}

TEST_F(LocalHTTPServerTest, ASlowHandlerHoldsNeitherOtherConnectionsNorStop) {
    Gate gate;
    auto server = startGated(gate);
    const quint16 port = server->port();
    RawHTTPClient slow(port);
    slow.send(RawHTTPClient::request(port, token, R"({"wait":true})"));
    ASSERT_TRUE(RawHTTPClient::runEventLoopUntil([&] { return gate.entered == 1; }, patience));

    const auto fast = exchange(port, RawHTTPClient::request(port, token, R"({"fast":true})"));
    EXPECT_EQ(fast.body(), R"({"fast":true})");
    // The slow handler was awaiting all along.
    EXPECT_EQ(gate.released, 0);

    // Stopping closes the listener but lets the open request finish.
    server->stop();
    EXPECT_FALSE(RawHTTPClient(port).connected());
    gate.open();
    const auto released = slow.readUntilClosed(patience);
    EXPECT_EQ(gate.released, 1);
    EXPECT_EQ(released.status(), 200);
    EXPECT_EQ(released.body(), R"({"wait":true})");
}

TEST_F(LocalHTTPServerTest, DestroyingTheServerWithAHandlerPendingIsSafe) {
    Gate gate;
    auto server = startGated(gate);
    RawHTTPClient client(server->port());
    client.send(RawHTTPClient::request(server->port(), token, R"({"wait":1})"));
    ASSERT_TRUE(RawHTTPClient::runEventLoopUntil([&] { return gate.entered == 1; }, patience));

    server.reset();
    const auto reply = client.readUntilClosed(patience);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.bytes, "");
    // The handler finishes after its server is gone; its answer has nowhere to go.
    gate.open();
    EXPECT_TRUE(RawHTTPClient::runEventLoopUntil([&] { return gate.released == 1; }, patience));
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

TEST_F(LocalHTTPServerTest, ConstructionFailsWithTheErrnoOfTheCall) {
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress(QHostAddress::LocalHost), 0));
    try {
        LocalHTTPServer server(occupant.serverPort(), token,
                               [this](JSON body) { return echo(&calls, std::move(body)); });
        ADD_FAILURE() << "constructed on a port that is taken";
    } catch (const LocalHTTPServerError& error) {
        EXPECT_EQ(error.errorNumber(), EADDRINUSE);
    }
}

TEST_F(LocalHTTPServerTest, DiscardsAtMostOneMebibyteAfterARefusal) {
    LocalHTTPServer::Options endless = options();
    endless.drainAfterAnswer = 1h;
    auto server = start([this](JSON body) { return echo(&calls, std::move(body)); }, endless);
    RawHTTPClient client(server->port());
    ASSERT_TRUE(client.send("GET / HTTP/1.1\r\n\r\n"));
    // A client that never stops sending is read for a while, then cut off (not merely stalled).
    constexpr std::size_t plenty = 64u << 20;
    const std::string chunk(65536, 'x');
    std::size_t sent = 0;
    while (sent < plenty && client.send(chunk))
        sent += chunk.size();
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << std::strerror(errno);
    EXPECT_GE(sent, LocalHTTPConnection::maxDrainBytes);
    EXPECT_LT(sent, plenty);
    EXPECT_EQ(client.readUntilClosed(patience).status(), 404);
}

// A listener on the test's own thread, so that it reads only while the test runs the event loop.
// Requests are held until answerHeld().
class ListenerHere {
public:
    explicit ListenerHere(std::chrono::milliseconds drain = 1h) {
        listener_ = std::make_unique<LocalHTTPListener>(
            LocalHTTPRequestReader::hashToken(token), LocalHTTPListener::Timing{1h, drain, 50ms},
            [this](quint64 id, JSON) { held.push_back(id); });
        listener_->open(0);
        listener_->startAccepting();
    }
    // The sink refers to this object, which therefore stays where it is.
    ListenerHere(const ListenerHere&) = delete;
    ListenerHere& operator=(const ListenerHere&) = delete;

    LocalHTTPListener* operator->() { return listener_.get(); }
    quint16 port() const { return listener_->port(); }
    void answerHeld() {
        for (const quint64 id : held)
            listener_->respond(id, LocalHTTPResponse{200, JSON::Object{}});
        held.clear();
    }
    bool waitFor(std::size_t open, std::size_t requests) {
        return RawHTTPClient::runEventLoopUntil(
            [&] { return listener_->openConnections() == open && held.size() == requests; },
            patience);
    }

    std::vector<quint64> held;

private:
    std::unique_ptr<LocalHTTPListener> listener_;
};

TEST(LocalHTTPListener, ReadsARequestArrivingInPieces) {
    ListenerHere listener;
    const std::string bytes =
        RawHTTPClient::request(listener.port(), token, R"({"pieces":[1,2,3,4,5,6,7,8]})");
    RawHTTPClient client(listener.port());
    // Between CR and LF, inside the head terminator and inside the body; each piece is read
    // before the next is sent.
    const std::size_t headEnd = bytes.find("\r\n\r\n");
    const std::size_t cuts[] = {0,           20,          bytes.find('\n'),  headEnd + 1,
                                headEnd + 3, headEnd + 4, bytes.size() - 10, bytes.size()};
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
        EXPECT_EQ(listener.held.size(), 0u);
        ASSERT_TRUE(client.send(std::string_view(bytes).substr(cuts[i], cuts[i + 1] - cuts[i])));
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(listener.waitFor(1, 1));
    listener.answerHeld();
    EXPECT_EQ(client.readUntilClosed(patience).status(), 200);
}

TEST(LocalHTTPListener, ANewcomerPushesOutTheConnectionWithTheLeastAtStake) {
    // Each sends something: a connection that sends nothing is not handed over for a second.
    enum Kind { NoHead, Refused, Request };
    struct Row {
        const char* name;
        Kind oldest;
        Kind others;
        Kind newest;
        int pushedOut; // which of the open connections; -1: the newcomer is turned away
    };
    const Row rows[] = {
        {"none has a head: the oldest", NoHead, NoHead, NoHead, 0},
        {"an answered one before older ones without a head", NoHead, NoHead, Refused, 63},
        {"one without a head, never a request", Request, Request, NoHead, 63},
        {"all hold requests", Request, Request, Request, -1},
    };
    constexpr std::size_t cap = LocalHTTPListener::maxOpenConnections;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ListenerHere listener;
        const quint16 port = listener.port();
        std::vector<Kind> kinds(cap, row.others);
        kinds.front() = row.oldest;
        kinds.back() = row.newest;
        std::vector<std::unique_ptr<RawHTTPClient>> open;
        std::size_t requests = 0;
        for (const Kind kind : kinds) {
            open.push_back(std::make_unique<RawHTTPClient>(port));
            if (kind == NoHead)
                open.back()->send("POST /v1/com");
            if (kind == Refused)
                open.back()->send("GET / HTTP/1.1\r\n\r\n");
            if (kind == Request)
                open.back()->send(RawHTTPClient::request(port, token, std::to_string(++requests)));
            // Accepted one by one, in this order.
            ASSERT_TRUE(listener.waitFor(open.size(), requests));
        }

        RawHTTPClient newcomer(port);
        newcomer.send(RawHTTPClient::request(port, token, "0"));
        if (row.pushedOut < 0) {
            const auto turnedAway = newcomer.readUntilClosed(patience);
            EXPECT_TRUE(turnedAway.closed);
            EXPECT_EQ(turnedAway.bytes, "");
        } else {
            ASSERT_TRUE(listener.waitFor(cap, requests + 1));
        }
        for (std::size_t i = 0; i < cap; ++i) {
            // A refused client has seen the end of its answer either way.
            EXPECT_EQ(open[i]->readAvailable().closed,
                      static_cast<int>(i) == row.pushedOut || kinds[i] == Refused)
                << i;
        }
        listener.answerHeld();
        for (std::size_t i = 0; i < cap; ++i) {
            if (kinds[i] == Request) {
                EXPECT_EQ(open[i]->readUntilClosed(patience).status(), 200) << i;
            }
        }
        if (row.pushedOut >= 0) {
            EXPECT_EQ(newcomer.readUntilClosed(patience).status(), 200);
        }
    }
}

TEST(LocalHTTPListener, DiscardsAfterAnAnswerUntilTheClientClosesOrTimeRunsOut) {
    for (const bool clientCloses : {true, false}) {
        SCOPED_TRACE(clientCloses ? "client closes" : "client stays");
        ListenerHere listener(clientCloses ? 1h : 100ms);
        auto client = std::make_unique<RawHTTPClient>(listener.port());
        client->send("GET / HTTP/1.1\r\n\r\n");
        EXPECT_EQ(client->readUntilClosed(patience).status(), 404);
        if (clientCloses)
            client.reset();
        EXPECT_TRUE(listener.waitFor(0, 0));
    }
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
        for (int fd : fillers_)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    // Frees one slot for the caller.
    void releaseOne() {
        ::close(fillers_.back());
        fillers_.pop_back();
    }
    bool exhausted() const { return !fillers_.empty() && ::dup(0) < 0 && errno == EMFILE; }

private:
    rlimit saved_{};
    std::vector<int> fillers_;
};

TEST(LocalHTTPListener, PausesWhileDescriptorsAreExhaustedAndAcceptsAgainAfter) {
    ListenerHere listener;
    const quint16 port = listener.port();
    // The sanitizers' type checks need a free descriptor on a cache miss, so run the same paths
    // while descriptors are plentiful.
    for (int i = 0; i < 2; ++i) {
        RawHTTPClient warmUp(port);
        warmUp.send(RawHTTPClient::request(port, token, "1"));
        ASSERT_TRUE(listener.waitFor(1, 1));
        listener.answerHeld();
        ASSERT_EQ(warmUp.readUntilClosed(patience).status(), 200);
    }
    // Nothing of the warm-up may free a descriptor during the exhaustion.
    ASSERT_TRUE(listener.waitFor(0, 0));

    std::unique_ptr<RawHTTPClient> client;
    std::chrono::steady_clock::duration exhausted{};
    {
        DescriptorExhaustion exhaustion;
        ASSERT_TRUE(exhaustion.exhausted());
        // The client takes the last free slot, so the listener's accept fails with EMFILE.
        exhaustion.releaseOne();
        client = std::make_unique<RawHTTPClient>(port);
        client->send(RawHTTPClient::request(port, token, "2"));
        const auto begin = std::chrono::steady_clock::now();
        ASSERT_TRUE(RawHTTPClient::runEventLoopUntil([&] { return listener->failedAccepts() >= 3; },
                                                     patience));
        exhausted = std::chrono::steady_clock::now() - begin;
        EXPECT_EQ(listener->openConnections(), 0u);
    }
    // One try at first and then one per retry delay (50 ms), not thousands.
    EXPECT_LE(listener->failedAccepts(), 3 + static_cast<std::size_t>(exhausted / 50ms));
    ASSERT_TRUE(listener.waitFor(1, 1));
    listener.answerHeld();
    EXPECT_EQ(client->readUntilClosed(patience).status(), 200);
}

} // namespace
} // namespace corvane
