// The device sessions: who may open one, what crosses it, and where commands and results go.
#include "RelayBench.h"

#include "CorvaneCore/ContractError.h"
#include "CorvaneCore/Uuid.h"

using namespace std::chrono_literals;

namespace corvane::test {
namespace {

class DeviceHubTest : public RelayBench {
protected:
    std::string sendOrCode(std::int64_t accountId, const std::string& deviceId,
                           const std::string& action = "get_state",
                           const JSON& params = JSON(JSON::Object{})) {
        try {
            return hub.send(accountId, deviceId, action, params);
        } catch (const ContractError& error) {
            return error.code();
        }
    }

    static JSON result(const std::string& commandId, bool ok) {
        return envelope("result", ok ? successResult(commandId, JSON(JSON::Object{}))
                                     : failureResult(commandId, "device_locked"));
    }

    DeviceHub::Command commandOf(std::int64_t accountId, const std::string& id) {
        const std::optional<DeviceHub::Command> command = hub.command(accountId, id);
        EXPECT_TRUE(command.has_value());
        return command.value_or(DeviceHub::Command{});
    }
};

TEST_F(DeviceHubTest, OnlyTheTokenOfTheNamedDeviceOpensASession) {
    const std::int64_t owner = account();
    const Paired mac = pair(owner);
    const Paired other = pair(owner);
    const Paired revoked = pair(owner);
    store.revokeDevice(revoked.deviceId);

    struct Row {
        const char* name;
        std::string header;
        std::string token;
        std::optional<int> close;
        std::vector<std::string> sent;
    };
    const std::vector<Row> rows{
        {"right token", mac.deviceId, mac.token, std::nullopt, {"ready"}},
        {"upper-case id",
         QString::fromStdString(mac.deviceId).toUpper().toStdString(),
         mac.token,
         DeviceHub::closeUnauthorized,
         {}},
        {"wrong token", mac.deviceId, mac.token + "x", DeviceHub::closeUnauthorized, {}},
        {"another device's token", mac.deviceId, other.token, DeviceHub::closeUnauthorized, {}},
        {"unknown device", Uuid::make(), mac.token, DeviceHub::closeUnauthorized, {}},
        {"no device id", "", mac.token, DeviceHub::closeUnauthorized, {}},
        {"revoked", revoked.deviceId, revoked.token, DeviceHub::closeRevoked, {"revoke"}},
        {"revoked, wrong token", revoked.deviceId, mac.token, DeviceHub::closeUnauthorized, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RecordingLink link;
        const std::uint64_t session = connect(link, row.header, row.token);
        EXPECT_EQ(link.closedWith, row.close);
        EXPECT_EQ(link.types(), row.sent);
        if (row.sent == std::vector<std::string>{"ready"}) {
            EXPECT_EQ(*link.sent[0].stringMember("device_id"), mac.deviceId);
            validator.validate("RelayMessage", link.sent[0]);
            EXPECT_TRUE(hub.live(mac.deviceId)->online);
            hub.closed(session);
        }
    }
    EXPECT_EQ(hub.sessionCount(), 0u);
}

TEST_F(DeviceHubTest, MessagesOutsideTheContractEndTheSession) {
    const Paired mac = pair(account());
    JSON noCapabilities = helloWith(mac.token);
    noCapabilities.object()->erase("capabilities");
    JSON extraMember = envelope("heartbeat", JSON::Object{{"capabilities", capabilities()}});
    extraMember.object()->emplace("extra", JSON(1));

    struct Row {
        const char* name;
        bool afterHello;
        std::string bytes;
        int close;
    };
    const std::vector<Row> rows{
        {"not JSON", false, "{\"type\":", 1007},
        {"heartbeat before hello", false,
         envelope("heartbeat", JSON::Object{{"capabilities", capabilities()}}).data(), 1008},
        {"hello without capabilities", false, noCapabilities.data(), 1008},
        {"unknown member", true, extraMember.data(), 1008},
        {"second hello", true, helloWith(mac.token).data(), 1008},
        {"one byte too large", true, std::string(DeviceHub::largestMessage + 1, ' '), 1009},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RecordingLink link;
        const std::uint64_t session =
            row.afterHello ? connect(link, mac.deviceId, mac.token) : hub.open(link, mac.deviceId);
        hub.received(session, row.bytes);
        EXPECT_EQ(link.closedWith, std::optional<int>(row.close));
        EXPECT_FALSE(hub.live(mac.deviceId).value_or(DeviceHub::Live{}).online);
    }
    // The largest allowed message is still read (and here refused only as not JSON).
    RecordingLink link;
    const std::uint64_t session = connect(link, mac.deviceId, mac.token);
    hub.received(session, std::string(DeviceHub::largestMessage, ' '));
    EXPECT_EQ(link.closedWith, std::optional<int>(1007));
}

TEST_F(DeviceHubTest, CommandsThatBreakTheContractNeverLeave) {
    const std::int64_t owner = account();
    const Paired mac = pair(owner);
    RecordingLink link;
    connect(link, mac.deviceId, mac.token);

    EXPECT_EQ(
        sendOrCode(owner, mac.deviceId, "list_apps", JSON(JSON::Object{{"offset", JSON(1e20)}})),
        "invalid_request");
    EXPECT_EQ(link.types(), std::vector<std::string>{"ready"});
    EXPECT_TRUE(store.auditOf(mac.deviceId, 10).empty());

    const std::string id =
        sendOrCode(owner, mac.deviceId, "set_volume", JSON(JSON::Object{{"level", JSON(30)}}));
    ASSERT_TRUE(Uuid::isCanonical(id)) << id;
    ASSERT_EQ(link.types(), (std::vector<std::string>{"ready", "command"}));
    const JSON& command = link.sent[1];
    validator.validate("RelayMessage", command);
    EXPECT_EQ(*command.stringMember("command_id"), id);
    EXPECT_EQ(WireTime::parse(*command.stringMember("expires_at")), clock.now() + 15s);
    ASSERT_EQ(store.auditOf(mac.deviceId, 10).size(), 1u);
    EXPECT_EQ(store.auditOf(mac.deviceId, 10)[0].outcome, "");
}

TEST_F(DeviceHubTest, CommandsGoOnlyToAnOnlineDeviceOfTheSameAccount) {
    const std::int64_t owner = account();
    const std::int64_t stranger = account("stranger");
    const Paired mac = pair(owner);

    EXPECT_EQ(sendOrCode(owner, mac.deviceId), "device_offline");
    RecordingLink link;
    connect(link, mac.deviceId, mac.token);
    EXPECT_EQ(sendOrCode(stranger, mac.deviceId), "device_not_found");
    EXPECT_EQ(sendOrCode(owner, Uuid::make()), "device_not_found");
    for (std::size_t i = 0; i < DeviceHub::outstandingPerDevice; ++i) {
        ASSERT_TRUE(Uuid::isCanonical(sendOrCode(owner, mac.deviceId)));
    }
    EXPECT_EQ(sendOrCode(owner, mac.deviceId), "device_busy");
}

TEST_F(DeviceHubTest, ResultsReachTheirOwnCommandOnly) {
    const std::int64_t owner = account();
    const Paired mac = pair(owner);
    const Paired other = pair(owner);
    RecordingLink link;
    RecordingLink otherLink;
    const std::uint64_t session = connect(link, mac.deviceId, mac.token);
    const std::uint64_t otherSession = connect(otherLink, other.deviceId, other.token);

    // Two dashboards of the account, one device: answered in the other order.
    const std::string first = sendOrCode(owner, mac.deviceId);
    const std::string second = sendOrCode(owner, mac.deviceId, "mute");
    say(session, envelope("delivered", JSON::Object{{"command_id", JSON(first)}}));
    EXPECT_EQ(commandOf(owner, first).state, DeviceHub::CommandState::Delivered);
    EXPECT_EQ(commandOf(owner, second).state, DeviceHub::CommandState::Sent);

    // Another device cannot answer for it, and an unknown id is dropped without ending anything.
    say(otherSession, result(first, true));
    say(session, result(Uuid::make(), true));
    EXPECT_EQ(commandOf(owner, first).state, DeviceHub::CommandState::Delivered);
    EXPECT_FALSE(link.closedWith);
    EXPECT_FALSE(otherLink.closedWith);

    say(session, result(second, false));
    say(session, result(first, true));
    say(session, result(first, false)); // a late repeat changes nothing
    EXPECT_TRUE(commandOf(owner, first).ok);
    EXPECT_FALSE(commandOf(owner, second).ok);
    EXPECT_EQ(commandOf(owner, second).errorCode, "device_locked");
    EXPECT_FALSE(hub.command(account("stranger"), first).has_value());

    const std::vector<RelayStore::Audit> audit = store.auditOf(mac.deviceId, 10);
    ASSERT_EQ(audit.size(), 2u);
    std::map<std::string, std::string> outcomes;
    for (const RelayStore::Audit& row : audit) {
        outcomes[row.commandId] = row.outcome;
        EXPECT_TRUE(row.finishedAt.has_value());
    }
    EXPECT_EQ(outcomes[first], "succeeded");
    EXPECT_EQ(outcomes[second], "device_locked");
}

TEST_F(DeviceHubTest, DeadlinesAndDisconnectsFinishOutstandingCommands) {
    const std::int64_t owner = account();
    const Paired mac = pair(owner);
    RecordingLink link;
    std::uint64_t session = connect(link, mac.deviceId, mac.token);

    const std::string undelivered = sendOrCode(owner, mac.deviceId);
    clock.advance(10s);
    const std::string delivered = sendOrCode(owner, mac.deviceId);
    say(session, envelope("delivered", JSON::Object{{"command_id", JSON(delivered)}}));

    // The first is given up 5 seconds past its deadline, not a millisecond earlier.
    clock.advance(9999ms);
    hub.sweep();
    EXPECT_EQ(commandOf(owner, undelivered).state, DeviceHub::CommandState::Sent);
    clock.advance(1ms);
    hub.sweep();
    EXPECT_EQ(commandOf(owner, undelivered).errorCode, "command_expired");
    EXPECT_EQ(store.auditOf(mac.deviceId, 10).back().outcome, "command_expired");

    // The delivered one may still be running: it waits for its result up to 45 seconds.
    clock.advance(15s + 45s - 10s - 1ms); // 1 ms before deadline + 45 s
    say(session, envelope("heartbeat", JSON::Object{{"capabilities", capabilities()}}));
    hub.sweep();
    EXPECT_EQ(commandOf(owner, delivered).state, DeviceHub::CommandState::Delivered);
    clock.advance(1ms);
    hub.sweep();
    EXPECT_EQ(commandOf(owner, delivered).errorCode, "command_timed_out");

    // A session that ends settles what is still open, by whether it reached the computer.
    const std::string sent = sendOrCode(owner, mac.deviceId);
    const std::string running = sendOrCode(owner, mac.deviceId);
    say(session, envelope("delivered", JSON::Object{{"command_id", JSON(running)}}));
    hub.closed(session);
    EXPECT_EQ(commandOf(owner, sent).errorCode, "device_offline");
    EXPECT_EQ(commandOf(owner, running).errorCode, "device_disconnected");
    EXPECT_FALSE(hub.live(mac.deviceId)->online);

    // Finished commands are forgotten after ten minutes.
    clock.advance(10min);
    hub.sweep();
    EXPECT_FALSE(hub.command(owner, sent).has_value());
}

TEST_F(DeviceHubTest, SilentSessionsAreClosed) {
    const Paired mac = pair(account());
    RecordingLink anonymous;
    hub.open(anonymous, mac.deviceId);
    RecordingLink link;
    const std::uint64_t session = connect(link, mac.deviceId, mac.token);

    clock.advance(9999ms);
    hub.sweep();
    EXPECT_FALSE(anonymous.closedWith);
    clock.advance(1ms);
    hub.sweep();
    EXPECT_EQ(anonymous.closedWith, std::optional<int>(1008));

    say(session, envelope("heartbeat", JSON::Object{{"capabilities", capabilities("locked")}}));
    EXPECT_EQ(*hub.live(mac.deviceId)->capabilities.stringMember("screen_state"), "locked");
    clock.advance(59999ms);
    hub.sweep();
    EXPECT_FALSE(link.closedWith);
    clock.advance(1ms);
    hub.sweep();
    EXPECT_EQ(link.closedWith, std::optional<int>(1001));
    // The last report stays for the dashboard.
    EXPECT_EQ(*hub.live(mac.deviceId)->capabilities.stringMember("screen_state"), "locked");
}

TEST_F(DeviceHubTest, ANewSessionReplacesTheOldOne) {
    const std::int64_t owner = account();
    const Paired mac = pair(owner);
    RecordingLink old;
    const std::uint64_t oldSession = connect(old, mac.deviceId, mac.token);
    const std::string pending = sendOrCode(owner, mac.deviceId);
    RecordingLink fresh;
    const std::uint64_t freshSession = connect(fresh, mac.deviceId, mac.token);

    EXPECT_EQ(old.types(), (std::vector<std::string>{"ready", "command", "bye"}));
    EXPECT_EQ(old.closedWith, std::optional<int>(1000));
    EXPECT_EQ(commandOf(owner, pending).errorCode, "device_offline");
    // The old transport's end, reported late, leaves the new session online.
    hub.closed(oldSession);
    EXPECT_TRUE(hub.live(mac.deviceId)->online);
    const std::string next = sendOrCode(owner, mac.deviceId);
    EXPECT_EQ(fresh.types(), (std::vector<std::string>{"ready", "command"}));
    say(freshSession, result(next, true));
    EXPECT_TRUE(commandOf(owner, next).ok);
}

TEST_F(DeviceHubTest, RevocationFromEitherSideEndsWith4003) {
    const std::int64_t owner = account();
    const Paired mac = pair(owner);
    const Paired other = pair(owner);
    RecordingLink link;
    const std::uint64_t session = connect(link, mac.deviceId, mac.token);
    say(session, envelope("revoke_self", {}));
    EXPECT_EQ(link.types(), (std::vector<std::string>{"ready", "revoke"}));
    EXPECT_EQ(link.closedWith, std::optional<int>(DeviceHub::closeRevoked));
    EXPECT_TRUE(store.device(mac.deviceId)->revoked);
    EXPECT_EQ(sendOrCode(owner, mac.deviceId), "device_not_found");

    RecordingLink otherLink;
    connect(otherLink, other.deviceId, other.token);
    hub.revoke(other.deviceId);
    EXPECT_EQ(otherLink.types(), (std::vector<std::string>{"ready", "revoke"}));
    EXPECT_EQ(otherLink.closedWith, std::optional<int>(DeviceHub::closeRevoked));
    RecordingLink again;
    connect(again, other.deviceId, other.token);
    EXPECT_EQ(again.closedWith, std::optional<int>(DeviceHub::closeRevoked));
}

} // namespace
} // namespace corvane::test
