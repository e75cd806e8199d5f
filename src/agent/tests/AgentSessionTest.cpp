// The relay session against a real TLS relay: the greeting, "ready", the handshake watchdog, the
// back-off, heartbeats, the messages the relay sends, the size limit, commands end to end, and
// revocation.

#include "RelayFixture.h"

#include "actions/DeviceCapabilityReport.h"
#include "core/CommandFeedback.h"
#include "core/RevocationState.h"

#include <gmock/gmock.h>

namespace corvane::agent_test {
namespace {

using ::testing::ElementsAre;

constexpr const char* idA = "6f1c1b2e-8a5d-4a4e-9a51-3f7c2d9e0b11";
constexpr const char* idB = "0b8d6a4c-2f31-4c5e-b1d7-9e2a4f6c8d01";

JSON typed(const char* type) {
    return JSON(JSON::Object{{"type", JSON(type)}});
}

// An unmasked frame as a server writes it; `first` is FIN and opcode, the length the payload's
// unless `declared` says otherwise.
QByteArray serverFrame(std::uint8_t first, const QByteArray& payload,
                       std::optional<std::uint64_t> declared = {}) {
    const std::uint64_t length = declared.value_or(std::uint64_t(payload.size()));
    QByteArray out(1, char(first));
    if (length < 126) {
        out += char(length);
    } else {
        const int bytes = length <= 0xFFFF ? 2 : 8;
        out += char(bytes == 2 ? 126 : 127);
        for (int shift = bytes * 8 - 8; shift >= 0; shift -= 8) {
            out += char((length >> shift) & 0xFF);
        }
    }
    return out + payload;
}

class SessionTest : public RelayTest {
protected:
    // The relay command of AgentFixture, as the relay sends it.
    void sendCommand(const std::string& action, const std::string& id) {
        session().send(command(action, id));
    }
    // The messages of one type the current session received.
    std::size_t received(const char* type) { return session().ofType(type).size(); }
};

TEST_F(SessionTest, HelloHeartbeatThenReady) {
    connectPaired();
    EXPECT_EQ(agent->status(), "Connecting…");
    EXPECT_TRUE(agent->hasSocket());
    EXPECT_FALSE(agent->online());
    EXPECT_EQ(session().deviceHeader(), QByteArray(relayDeviceID));
    EXPECT_THAT(session().types(), ElementsAre("hello", "heartbeat"));
    const JSON hello = session().messages()[0];
    EXPECT_EQ(*hello.stringMember("device_token"), relayDeviceToken);
    EXPECT_EQ(*hello.stringMember("agent_version"), DeviceCapabilityReport::version());
    EXPECT_EQ(*hello.stringMember("device_name"), "host");
    EXPECT_EQ(*hello.stringMember("macos_version"), "Version 14.5 (Build 23F79)");
    EXPECT_EQ(*hello.find("capabilities"), *session().messages()[1].find("capabilities"));
    EXPECT_EQ(hello.find("v")->number(), 1.0);

    // Unknown types are a newer relay's; binary frames are read as text; "ready" still counts.
    session().send(typed("notice"));
    session().sendBinary(QByteArrayLiteral(R"({"type":"ready","device_id":")") + relayDeviceID +
                         QByteArrayLiteral("\"}"));
    ASSERT_TRUE(until([&] { return agent->online(); }));
    EXPECT_FALSE(session().ended());
    EXPECT_EQ(agent->status(), "Mac connected");
}

// A relay that never says "ready" is closed after 10 s; the failure then waits out the back-off.
TEST_F(SessionTest, NoReadyClosesAfterTenSecondsThenReconnects) {
    *sample = 0.0; // the shortest waits
    connectPaired();
    run(std::chrono::milliseconds(9750));
    quietly();
    EXPECT_FALSE(session().ended());
    run(std::chrono::milliseconds(250));
    ASSERT_TRUE(until([&] { return session().ended() && !agent->hasSocket(); }));
    EXPECT_EQ(session().agentCloseCode(), std::optional<int>(1001));
    EXPECT_EQ(agent->status(), CommandFeedback::error("connection_or_storage_failed"));
    run(std::chrono::milliseconds(500));
    ASSERT_TRUE(until([&] { return sessionCount() == 2; }));
}

// Failed sessions wait at most 2, 4, 8, 16, 32, then 60 s; a normal end starts again at 2 s.
TEST_F(SessionTest, BackOffGrowsToItsCapAndResetsAfterANormalEnd) {
    *sample = 1.0; // every wait at its cap
    // Every session fails once the greeting is in.
    const auto failing = [](test::TestRelaySession& s) {
        s.onMessage = [](test::TestRelaySession& t, const JSON& m) {
            if (*m.stringMember("type") == "heartbeat") {
                t.close(1011);
            }
        };
    };
    relay.onSession = failing;
    connectPaired();
    ASSERT_TRUE(until([&] { return session().ended(); }));
    for (int cap : {2, 4, 8, 16, 32, 60, 60}) {
        SCOPED_TRACE(cap);
        const std::size_t before = sessionCount();
        ASSERT_TRUE(until([&] { return !agent->hasSocket(); }));
        run(std::chrono::milliseconds(cap * 1000 - 250));
        quietly(std::chrono::milliseconds(30));
        ASSERT_EQ(sessionCount(), before);
        run(std::chrono::milliseconds(250));
        ASSERT_TRUE(until([&] { return sessionCount() == before + 1 && session().ended(); }));
    }
    // A session that ends with "bye" is a normal end.
    relay.onSession = [](test::TestRelaySession& s) {
        s.onMessage = [](test::TestRelaySession& t, const JSON& m) {
            if (*m.stringMember("type") == "heartbeat") {
                t.send(typed("bye"));
            }
        };
    };
    const std::size_t before = sessionCount();
    ASSERT_TRUE(until([&] { return !agent->hasSocket(); }));
    run(std::chrono::seconds(60));
    ASSERT_TRUE(until([&] { return sessionCount() == before + 1 && !agent->hasSocket(); }));
    relay.onSession = failing;
    run(std::chrono::milliseconds(1750));
    quietly(std::chrono::milliseconds(30));
    EXPECT_EQ(sessionCount(), before + 1);
    run(std::chrono::milliseconds(250));
    ASSERT_TRUE(until([&] { return sessionCount() == before + 2; }));
}

// "revoke", close code 4003, and the relay's "revoke" answering the Agent's own "revoke_self" all
// end unpaired, and nothing reconnects.
TEST_F(SessionTest, RevocationByTheRelayEndsUnpairedWithoutReconnecting) {
    relay.onSession = [](test::TestRelaySession& s) {
        s.onMessage = [](test::TestRelaySession& t, const JSON& m) {
            if (*m.stringMember("type") == "revoke_self") {
                t.send(typed("revoke"));
            }
        };
    };
    for (const std::string how : {"revoke message", "close 4003", "revoke_self"}) {
        SCOPED_TRACE(how);
        vault->removed.clear();
        connectPaired();
        ready();
        if (how == "close 4003") {
            session().close(4003);
        } else if (how == "revoke message") {
            session().send(typed("revoke"));
        } else {
            agent->revoke();
        }
        ASSERT_TRUE(until([&] { return agent->status() == "Unpaired — revoked"; }));
        EXPECT_FALSE(agent->token().has_value());
        EXPECT_FALSE(agent->online());
        EXPECT_FALSE(agent->pending());
        EXPECT_EQ(received("revoke_self"), how == "revoke_self" ? 1u : 0u);
        EXPECT_TRUE(until([&] { return !mac.defaults.values.contains("device-id"); }));
        if (how != "revoke_self") { // which itself removed the device token first
            EXPECT_THAT(vault->removed,
                        ElementsAre("device-token", "pending-device-token", "bootstrap-token"));
        }
        run(std::chrono::seconds(120));
        quietly();
        EXPECT_EQ(sessionCount(), 1u);
        EXPECT_EQ(agent->status(), "Unpaired — revoked");
        agent.reset();
        relay.clear();
    }
}

// Messages that break the contract, or name another device, end the session with an error; the
// Agent connects again after the back-off.
TEST_F(SessionTest, MalformedMessagesEndTheSession) {
    struct Row {
        const char* name;
        QString text;
        const char* code;
    };
    const std::vector<Row> rows{
        {"not JSON", QStringLiteral("{\"type\":"), "invalid_message"},
        {"ready without an id", QStringLiteral("{\"type\":\"ready\"}"), nullptr},
        {"ready for another device",
         QStringLiteral(
             "{\"type\":\"ready\",\"device_id\":\"8c1d7a52-0f3e-4b6a-9d2c-5e7f1a3b9c4d\"}"),
         "device_identity_mismatch"},
    };
    *sample = 0.0;
    connectPaired();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::size_t sessions = sessionCount();
        session().sendText(row.text);
        ASSERT_TRUE(until([&] { return session().ended() && !agent->hasSocket(); }));
        EXPECT_EQ(session().agentCloseCode(), std::optional<int>(1001));
        if (row.code != nullptr) {
            EXPECT_EQ(agent->status(), CommandFeedback::error(row.code));
        }
        EXPECT_NE(agent->status(), "Connecting…");
        EXPECT_FALSE(agent->online());
        ASSERT_TRUE(until([&] { return !agent->hasSocket(); }));
        run(std::chrono::milliseconds(500));
        ASSERT_TRUE(
            until([&] { return sessionCount() == sessions + 1 && session().raw().size() >= 2; }));
    }
}

// The limit is on UTF-8 bytes: 65,536 pass, one more ends the session, even where the text has
// far fewer UTF-16 units than that (the socket's own limit counts those).
TEST_F(SessionTest, MessagesAboveSixtyFourKibibytesEndTheSession) {
    const auto sized = [](qsizetype bytes) {
        const QString head = QStringLiteral("{\"type\":\"padding\",\"p\":\"");
        const QString tail = QStringLiteral("\"}");
        const qsizetype fill = bytes - head.size() - tail.size();
        // Two-byte characters, and one ASCII letter when the count is odd.
        return head + QString(fill / 2, QChar(0x00E9)) + QString(fill % 2, u'a') + tail;
    };
    ASSERT_EQ(sized(65536).toUtf8().size(), 65536);
    ASSERT_LT(sized(65537).size(), 40000);
    connectPaired();
    session().sendText(sized(65536));
    ready();
    EXPECT_FALSE(session().ended());
    session().sendText(sized(65537));
    ASSERT_TRUE(until([&] { return session().ended() && !agent->hasSocket(); }));
    EXPECT_FALSE(agent->online());
    EXPECT_EQ(agent->status(), CommandFeedback::error("connection_or_storage_failed"));
}

// A frame declaring 1.5 GiB is refused on its header (1009) instead of being read to its end.
TEST_F(SessionTest, AFrameDeclaredPastTheLimitEndsTheSessionAtOnce) {
    connectPaired();
    ready();
    session().sendRaw(serverFrame(0x82, QByteArray(1024, 'x'), 1610612736ULL));
    ASSERT_TRUE(until([&] { return session().ended() && !agent->hasSocket(); }));
    EXPECT_EQ(session().agentCloseCode(), std::optional<int>(1009));
    EXPECT_FALSE(agent->online());
    EXPECT_EQ(agent->status(), CommandFeedback::error("connection_or_storage_failed"));
}

// A relay that keeps sending while a command runs is stopped at the queue's bounds (count, then
// bytes) with 1008, rather than held in memory.
TEST_F(SessionTest, ARelaySendingPastTheQueueWhileACommandRunsIsClosed) {
    const QString fill = QStringLiteral("{\"type\":\"padding\",\"p\":\"") + QString(60000, u'p') +
                         QStringLiteral("\"}");
    struct Row {
        const char* name;
        std::size_t count;
        QString text;
        const char* id;
    };
    const std::vector<Row> rows{
        {"count", WebSocketRelaySocket::maxQueuedMessages + 1,
         QString::fromStdString(typed("notice").data()), idA},
        {"bytes", WebSocketRelaySocket::maxQueuedBytes / 60000 + 1, fill, idB},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        script->duration = std::chrono::seconds(12);
        connectPaired();
        ready();
        sendCommand("mute", row.id);
        ASSERT_TRUE(until([&] { return received("delivered") == 1; }));
        for (std::size_t i = 0; i < row.count; ++i) {
            session().sendText(row.text);
        }
        ASSERT_TRUE(until([&] { return session().ended(); }));
        EXPECT_EQ(session().agentCloseCode(), std::optional<int>(1008));
        run(std::chrono::seconds(12));
        ASSERT_TRUE(until([&] { return !agent->hasSocket(); }));
        EXPECT_FALSE(agent->online());
        agent.reset();
        relay.clear();
    }
}

// "€" cut between two continuation frames is one valid character of the whole message.
TEST_F(SessionTest, ACharacterSplitAcrossFragmentsIsRead) {
    connectPaired();
    ready();
    QByteArray text = QByteArray::fromStdString(command("mute", idA).data());
    text.insert(1, "\"note\":\"\xE2\x82\xAC\",");
    const qsizetype euro = text.indexOf('\xE2');
    session().sendRaw(serverFrame(0x01, text.left(euro + 1)) +
                      serverFrame(0x00, text.mid(euro + 1, 1)) +
                      serverFrame(0x80, text.mid(euro + 2)));
    ASSERT_TRUE(until([&] { return received("result") == 1; }));
    EXPECT_THAT(script->ran, ElementsAre("mute"));
    EXPECT_FALSE(session().ended());
}

// A stopped relay keeps its connection open but answers nothing: 24 s without a frame end the
// session. Pings keep a quiet but live relay's session open.
TEST_F(SessionTest, ASilentRelayEndsTheSessionAfterTwentyFourSeconds) {
    *sample = 0.0;
    connectPaired();
    ready();
    // A minute of a live relay; its side of the pings needs a moment of real time.
    for (int second = 0; second < 60; ++second) {
        run(std::chrono::seconds(1));
        quietly(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(session().ended());
    EXPECT_TRUE(agent->online());
    // Heard from last just now: the relay's ping was answered.
    session().ping();
    ASSERT_TRUE(until([&] { return session().pongs() == 1; }));
    session().freeze();
    run(std::chrono::seconds(23));
    quietly(std::chrono::milliseconds(30));
    EXPECT_TRUE(agent->online());
    EXPECT_EQ(sessionCount(), 1u);
    // Ended between 24 and 26 s (the checks come every 2 s), then a reconnect after 0.5 s.
    run(std::chrono::seconds(3));
    ASSERT_TRUE(until([&] { return sessionCount() == 2; }));
    EXPECT_FALSE(agent->online());
}

TEST_F(SessionTest, DesktopControlLockChangesAndSilenceBringHeartbeats) {
    options.execute = nullptr;
    connectPaired();
    ready();
    EXPECT_EQ(received("heartbeat"), 1u);
    // Unchanged: nothing until 24 s of silence.
    run(std::chrono::seconds(22));
    quietly(std::chrono::milliseconds(30));
    EXPECT_EQ(received("heartbeat"), 1u);
    run(std::chrono::seconds(2));
    ASSERT_TRUE(until([&] { return received("heartbeat") == 2; }));

    agent->executor().desktop().enableDesktop();
    run(std::chrono::seconds(2));
    ASSERT_TRUE(until([&] { return received("heartbeat") == 3; }));
    const JSON latest = session().ofType("heartbeat").back();
    EXPECT_EQ(*latest.find("capabilities")->find("permissions")->stringMember("desktop_control"),
              "granted");

    // A lock is told as soon as the session lock announces it, not at the next 2 s check.
    mac.console.set(ScreenState::Locked);
    mac.clock.advance(std::chrono::milliseconds(250));
    ASSERT_TRUE(until([&] { return received("heartbeat") == 4; }));
    EXPECT_EQ(
        *session().ofType("heartbeat").back().find("capabilities")->stringMember("screen_state"),
        "locked");
    // Told once: the next check finds nothing new.
    run(std::chrono::seconds(2));
    quietly(std::chrono::milliseconds(30));
    EXPECT_EQ(received("heartbeat"), 4u);
    // Every change in a row is told, each as it comes.
    for (const auto& [state, name, count] : {std::tuple{ScreenState::Unlocked, "unlocked", 5u},
                                             std::tuple{ScreenState::Locked, "locked", 6u},
                                             std::tuple{ScreenState::Unlocked, "unlocked", 7u}}) {
        mac.console.set(state);
        mac.clock.advance(std::chrono::milliseconds(250));
        ASSERT_TRUE(until([&] { return received("heartbeat") == count; })) << name;
        EXPECT_EQ(*session()
                       .ofType("heartbeat")
                       .back()
                       .find("capabilities")
                       ->stringMember("screen_state"),
                  name);
    }
}

// Messages arriving while a command runs wait their turn: none is lost, the order holds.
TEST_F(SessionTest, MessagesArrivingDuringACommandAreKeptInOrder) {
    script->duration = std::chrono::seconds(1);
    connectPaired();
    ready();
    sendCommand("mute", idA);
    ASSERT_TRUE(until([&] { return received("delivered") == 1; }));
    session().send(typed("notice"));
    sendCommand("unmute", idB);
    quietly();
    run(std::chrono::seconds(1));
    ASSERT_TRUE(until([&] { return received("result") == 1 && received("delivered") == 2; }));
    run(std::chrono::seconds(1));
    ASSERT_TRUE(until([&] { return received("result") == 2; }));
    EXPECT_THAT(script->ran, ElementsAre("mute", "unmute"));
    EXPECT_THAT(session().types(),
                ElementsAre("hello", "heartbeat", "delivered", "result", "delivered", "result"));
}

// Sleep after "delivered", while the action runs: its result is withheld ("session_changed" in the
// log), the socket closed with 1001; waking reconnects by itself.
TEST_F(SessionTest, SuspensionDuringACommandThenWakeReconnects) {
    *sample = 0.0;
    connectPaired();
    ready();
    script->duration = std::chrono::milliseconds(500);
    sendCommand("mute", idA);
    ASSERT_TRUE(until([&] { return received("delivered") == 1; }));
    Q_EMIT mac.workspace.willSleep();
    run(std::chrono::milliseconds(500));
    ASSERT_TRUE(until([&] { return session().ended(); }));
    EXPECT_EQ(session().agentCloseCode(), std::optional<int>(1001));
    EXPECT_EQ(agent->status(), "Offline — session inactive");
    EXPECT_EQ(received("result"), 0u);
    ASSERT_TRUE(until([&] { return outcomes(directory()).size() == 2; }));
    EXPECT_THAT(outcomes(directory()), ElementsAre("received", "session_changed"));

    Q_EMIT mac.workspace.didWake();
    ASSERT_TRUE(until([&] { return sessionCount() == 2 && session().raw().size() >= 2; }));
    ready();
}

} // namespace
} // namespace corvane::agent_test
