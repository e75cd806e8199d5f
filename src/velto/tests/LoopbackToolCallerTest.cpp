#include "velto/LoopbackToolCaller.h"

#include "actions/LocalHTTPServer.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

namespace corvane {
namespace {

constexpr std::string_view firstToken = "first-token_0123456789abcdefghijklmnopqrstuvwxyz";
constexpr std::string_view secondToken = "second-token_0123456789abcdefghijklmnopqrstuvwxy";

// An agent's loopback entry that counts what reaches it; set_volume is refused as the agent
// refuses it on a locked screen.
QCoro::Task<LocalHTTPResponse> agent(std::shared_ptr<int> received, JSON body) {
    ++*received;
    if (*body.stringMember("action") == "set_volume") {
        co_return LocalHTTPResponse{
            409, JSON::parse(R"({"error":{"code":"screen_locked","message":"Unlock it first."}})")};
    }
    co_return LocalHTTPResponse{200, JSON::parse(R"({"screen_locked":true})")};
}

std::unique_ptr<LocalHTTPServer> startAgent(std::string_view token, std::shared_ptr<int> received) {
    auto server = std::make_unique<LocalHTTPServer>(
        0, token, [received](JSON body) { return agent(received, std::move(body)); });
    server->start();
    return server;
}

} // namespace

TEST(LoopbackToolCaller, ReadsTheEndpointAgainOnlyWhenRefusedAndNeverSendsTwiceToOneAgent) {
    auto firstReceived = std::make_shared<int>(0);
    auto secondReceived = std::make_shared<int>(0);
    auto first = startAgent(firstToken, firstReceived);
    // What the user defaults and the keychain say now; read on a worker while this thread waits.
    std::optional<LoopbackToolCaller::Endpoint> current =
        LoopbackToolCaller::Endpoint{first->port(), std::string(firstToken)};
    int reads = 0;
    LoopbackToolCaller caller(
        [&](std::string& error) {
            ++reads;
            error = "no loopback port has been chosen yet";
            return current;
        },
        [] { return std::optional<std::vector<std::string>>(); }, "/nonexistent/commands.jsonl",
        std::chrono::seconds(5));
    const auto call = [&](const char* action) {
        return QCoro::waitFor(caller.call(action, JSON(JSON::Object{})));
    };

    EXPECT_TRUE(call("get_state").ok);
    EXPECT_TRUE(call("get_state").ok);
    EXPECT_EQ(reads, 1);
    const McpCallOutcome refused = call("set_volume");
    EXPECT_EQ(refused.code, "screen_locked");
    EXPECT_EQ(refused.message, "Unlock it first.");
    EXPECT_EQ(*firstReceived, 3);

    // The agent restarted on another port with another token: read again, sent once, there.
    first.reset();
    auto second = startAgent(secondToken, secondReceived);
    current = LoopbackToolCaller::Endpoint{second->port(), std::string(secondToken)};
    EXPECT_TRUE(call("get_state").ok);
    EXPECT_EQ(reads, 2);
    EXPECT_EQ(*secondReceived, 1);

    // Gone without a successor: the same endpoint read again is not sent to a second time.
    const quint16 gonePort = second->port();
    second.reset();
    const McpCallOutcome gone = call("get_state");
    EXPECT_EQ(gone.code, LoopbackToolCaller::notRunningCode);
    EXPECT_NE(gone.message.find(std::to_string(gonePort)), std::string::npos) << gone.message;
    EXPECT_EQ(reads, 3);

    // Never started: the reader's reason, before anything is sent.
    current.reset();
    const McpCallOutcome never = call("get_state");
    EXPECT_EQ(never.code, LoopbackToolCaller::notRunningCode);
    EXPECT_NE(never.message.find("no loopback port"), std::string::npos) << never.message;
    EXPECT_EQ(*firstReceived + *secondReceived, 4);
}

TEST(LoopbackToolCaller, ActivityIsTheNewestFinalRecordsWithoutTheirParameters) {
    QTemporaryDir home;
    const std::filesystem::path log = std::filesystem::path(home.path().toStdString()) / "log";
    {
        std::ofstream out(log);
        for (int i = 0; i < 25; ++i) {
            const std::string id = std::to_string(i);
            // A record larger than the reader's chunk, so that lines cross its boundaries.
            const std::string text(i == 20 ? 70000 : 3, 'x');
            out << R"({"command_id":")" << id << R"(","action":"set_volume","params":{"t":")"
                << text << R"("},"outcome":"received","created_at":"t"})" << '\n';
            out << R"({"command_id":")" << id << R"(","action":"set_volume","params":{"t":")"
                << text << R"("},"outcome":"succeeded","created_at":"t"})" << '\n';
            if (i == 22) {
                out << "not json\n";
            }
        }
    }
    const McpCallOutcome outcome = LoopbackToolCaller::activity(log, 20);
    ASSERT_TRUE(outcome.ok);
    const JSON::Array& records = *outcome.data.find("records")->array();
    ASSERT_EQ(records.size(), 20U);
    EXPECT_EQ(*records.front().stringMember("command_id"), "24");
    EXPECT_EQ(*records.back().stringMember("command_id"), "5");
    EXPECT_EQ(records.front().find("params"), nullptr);

    EXPECT_EQ(LoopbackToolCaller::activity(home.path().toStdString() + "/none", 20).data.data(),
              R"({"records":[]})");
}

} // namespace corvane
