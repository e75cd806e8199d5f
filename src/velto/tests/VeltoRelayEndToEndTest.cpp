// The real program against the test relay: `velto --headless --relay ... --relay-ca ...` pairs,
// connects, answers a command sent through the relay and ends unpaired when the relay revokes it.
#include "ProgramHome.h"
#include "support/TestRelay.h"

#include "core/JSON.h"
#include "core/Uuid.h"
#include "core/WireTime.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

namespace corvane {
namespace {

constexpr const char* deviceID = "9b2e7c1a-4d3f-4e5a-8b6c-7d8e9f0a1b2c";

class VeltoRelayEndToEnd : public test::ProgramHome {
protected:
    QStringList arguments(const std::string& relay) const {
        return {QStringLiteral("--headless"),           QStringLiteral("--scenario"),
                QStringLiteral(VELTO_DEFAULT_SCENARIO), QStringLiteral("--relay"),
                QString::fromStdString(relay),          QStringLiteral("--relay-ca"),
                test::TestRelay::authorityFile()};
    }
};

JSON getState() {
    const auto now = std::chrono::system_clock::now();
    return JSON(JSON::Object{{"type", JSON("command")},
                             {"command_id", JSON(Uuid::make())},
                             {"action", JSON("get_state")},
                             {"params", JSON(JSON::Object{})},
                             {"expires_at", JSON(WireTime::text(now + std::chrono::seconds(15)))}});
}

TEST_F(VeltoRelayEndToEnd, PairsConnectsAnswersAndEndsRevoked) {
    test::TestRelay relay;
    relay.approveEverything(deviceID);
    agent_.start(QStringLiteral(VELTO_PROGRAM), arguments(relay.origin()));

    ASSERT_TRUE(until([&] { return saw("status: Mac connected"); })) << err_;
    EXPECT_TRUE(saw("open in browser: " + relay.origin() + "#pair=TEST-CODE")) << err_;
    ASSERT_EQ(relay.sessions().size(), 1u);
    test::TestRelaySession& session = *relay.latest();
    EXPECT_EQ(session.deviceHeader(), QByteArray(deviceID));

    const JSON command = getState();
    session.send(command);
    ASSERT_TRUE(until([&] { return !session.ofType("result").empty(); })) << err_;
    EXPECT_EQ(session.types(),
              (std::vector<std::string>{"hello", "heartbeat", "delivered", "result"}));
    const JSON result = session.ofType("result").front();
    EXPECT_EQ(*result.stringMember("command_id"), *command.stringMember("command_id"));
    ASSERT_TRUE(result.find("ok")->isTrue()) << result.data();
    EXPECT_EQ(result.find("data")->find("screen_locked")->boolean(), std::optional<bool>(false));

    session.send(JSON(JSON::Object{{"type", JSON("revoke")}}));
    ASSERT_TRUE(until([&] { return saw("status: Unpaired — revoked"); })) << err_;
    // A reconnect would come within two seconds of the session's end.
    QElapsedTimer quiet;
    quiet.start();
    until([&] { return quiet.elapsed() > 3000; });
    EXPECT_EQ(relay.sessions().size(), 1u);
    EXPECT_EQ(relay.paths(), (std::vector<QString>{QStringLiteral("/v1/pairing/code"),
                                                   QStringLiteral("/v1/pairing/redeem")}));

    EXPECT_TRUE(stopAgent()) << err_;
}

// A relay's error code reaches the terminal escaped, and the agent tries again by itself.
TEST_F(VeltoRelayEndToEnd, FailedCodeRequestIsPrintedEscapedAndTriedAgain) {
    test::TestRelay relay;
    relay.onRequest = [](const test::TestRelay::Request&) {
        return test::TestRelay::refusal(503, "\x1b]0;owned\x07\x1b[2J\nvelto: paired");
    };
    agent_.start(QStringLiteral(VELTO_PROGRAM), arguments(relay.origin()));
    ASSERT_TRUE(until([&] { return saw("velto: pairing again in "); })) << err_;
    EXPECT_TRUE(saw("velto: pairing gave up: \\x1b]0;owned\\x07\\x1b[2J\\nvelto: paired\n"))
        << err_;
    EXPECT_EQ(err_.find('\x1b'), std::string::npos);
    EXPECT_TRUE(stopAgent()) << err_;
}

TEST_F(VeltoRelayEndToEnd, RelayThatIsNotABareHttpsOriginIsRefused) {
    for (const char* relay : {"http://127.0.0.1:9", "https://127.0.0.1:9/v1"}) {
        agent_.start(QStringLiteral(VELTO_PROGRAM), arguments(relay));
        err_.clear();
        ASSERT_TRUE(until([&] { return agent_.state() == QProcess::NotRunning; }));
        err_ += agent_.readAllStandardError().toStdString();
        EXPECT_EQ(agent_.exitCode(), 2) << err_;
        EXPECT_TRUE(saw("Enter a valid HTTPS service address in Connection settings.")) << err_;
    }
}

} // namespace
} // namespace corvane
