#include "velto/LocalCommandClient.h"

#include "actions/LocalHTTPServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

namespace corvane {
namespace {

constexpr std::string_view token = "tok-en_0123456789abcdefghijklmnopqrstuvwxyzABC";

// The handler echoes what the agent would have been given, so a 200 proves that the real server
// accepted the request form byte for byte (route, host, type, length, bearer token); the action
// "refuse" is answered as the agent answers a refusal.
QCoro::Task<LocalHTTPResponse> echo(JSON body) {
    if (*body.stringMember("action") == "refuse") {
        co_return LocalHTTPResponse{409, JSON(JSON::Object{{"error", JSON("duplicate_command")}})};
    }
    co_return LocalHTTPResponse{200, JSON(JSON::Object{{"received", std::move(body)}})};
}

TEST(LocalCommandClient, TheLoopbackServerAcceptsTheRequestAndTheAnswerIsRead) {
    LocalHTTPServer server(0, token, echo);
    server.start();

    const std::string body = R"({"action":"get_state","params":{"note":"ünï"}})";
    const auto reply = LocalCommandClient::post(server.port(), token, body);
    EXPECT_EQ(reply.error, "");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, R"({"received":{"action":"get_state","params":{"note":"ünï"}}})");

    // Other answers keep their status and body.
    const auto conflict = LocalCommandClient::post(server.port(), token, R"({"action":"refuse"})");
    EXPECT_EQ(conflict.status, 409);
    EXPECT_EQ(conflict.body, R"({"error":"duplicate_command"})");

    const auto refused = LocalCommandClient::post(server.port(), "wrong", body);
    EXPECT_EQ(refused.status, 401);
    EXPECT_NE(refused.body.find("unauthorized"), std::string::npos);
}

TEST(LocalCommandClient, NoAgentListeningIsAnErrorWithoutStatus) {
    quint16 port = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    const auto reply = LocalCommandClient::post(port, token, "{}", std::chrono::seconds(2));
    EXPECT_EQ(reply.status, -1);
    EXPECT_NE(reply.error.find("cannot reach the agent"), std::string::npos) << reply.error;
}

TEST(LocalCommandClient, AnAgentThatNeverAnswersTimesOut) {
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    const auto reply =
        LocalCommandClient::post(silent.serverPort(), token, "{}", std::chrono::milliseconds(300));
    EXPECT_EQ(reply.status, -1);
    EXPECT_NE(reply.error.find("no answer"), std::string::npos) << reply.error;
}

TEST(LocalCommandClient, OnlyACompleteHTTPAnswerCounts) {
    struct Row {
        std::string_view bytes;
        int status;
        std::string_view body;
    };
    const Row rows[] = {
        {"HTTP/1.1 200 Response\r\nContent-Length: 2\r\n\r\n{}", 200, "{}"},
        {"HTTP/1.1 503 Response\r\ncontent-length:  2 \r\n\r\n{}", 503, "{}"},
        {"HTTP/1.1 200 Response\r\nConnection: close\r\n\r\n{\"a\":1}", 200, "{\"a\":1}"},
        // Cut short: fewer body bytes than declared, or no end of head.
        {"HTTP/1.1 200 Response\r\nContent-Length: 10\r\n\r\n{}", -1, ""},
        {"HTTP/1.1 200 Response\r\nContent-Length: 2\r\n", -1, ""},
        {"", -1, ""},
        {"HTTP/1.0 200 OK\r\n\r\n{}", -1, ""},
        {"HTTP/1.1 2x0 Response\r\n\r\n{}", -1, ""},
        {"HTTP/1.1 2000 Response\r\n\r\n{}", -1, ""},
        {"HTTP/1.1 200 Response\r\nContent-Length: two\r\n\r\n{}", -1, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.bytes));
        const auto reply = LocalCommandClient::parseAnswer(row.bytes);
        EXPECT_EQ(reply.status, row.status);
        EXPECT_EQ(reply.body, row.body);
        EXPECT_EQ(reply.error.empty(), row.status >= 0) << reply.error;
    }
}

TEST(LocalCommandClient, RequestFormIsExact) {
    EXPECT_EQ(LocalCommandClient::request(50123, "abc", R"({"a":1})"),
              "POST /v1/commands HTTP/1.1\r\nHost: 127.0.0.1:50123\r\n"
              "Content-Type: application/json\r\nContent-Length: 7\r\n"
              "Authorization: Bearer abc\r\n\r\n{\"a\":1}");
}

} // namespace
} // namespace corvane
