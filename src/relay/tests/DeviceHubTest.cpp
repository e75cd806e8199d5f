// The device sessions: who may open one, what crosses it, and where commands and results go.
#include "RelayBench.h"

#include "core/ContractError.h"
#include "core/Uuid.h"
#include "core/WireTime.h"
#include "relay/DeviceHubObserver.h"
#include "relay/RelayText.h"

#include <QSqlDatabase>
#include <QSqlQuery>

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

    // A successful result of about `bytes` bytes (one listed app with a long name).
    static JSON largeResult(const std::string& commandId, std::size_t bytes) {
        const JSON app(JSON::Object{{"name", JSON(std::string(bytes, 'n'))},
                                    {"bundle_id", JSON("com.example.app")},
                                    {"last_opened", JSON()},
                                    {"running", JSON(false)}});
        return envelope("result",
                        successResult(commandId, JSON(JSON::Object{{"apps", JSON(JSON::Array{app})},
                                                                   {"next_offset", JSON()}})));
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
    // A stranger's message is refused on its token, before any costly check of its content.
    JSON strangerOutsideContract = helloWith(mac.token + "x");
    strangerOutsideContract.object()->erase("capabilities");
    JSON controlInName = helloWith(mac.token);
    controlInName.object()->insert_or_assign("device_name", JSON("Studio\u202Egnp.exe"));
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
        {"stranger's hello outside the contract", false, strangerOutsideContract.data(),
         DeviceHub::closeUnauthorized},
        {"direction override in the name", false, controlInName.data(), 1008},
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

// A command sent through one relay to a device whose socket another relay holds: `sender` is the
// relay the dashboard asked, `hub` the holder, both on one store.
TEST_F(DeviceHubTest, AnotherRelaysCommandReachesTheDeviceOnceAndIsAuditedByItsSender) {
    const std::int64_t owner = account();
    const Paired mac = pair(owner);
    const Paired away = pair(owner);
    RecordingLink link;
    const std::uint64_t session = connect(link, mac.deviceId, mac.token);
    DeviceHub sender(store, clock, validator);

    const DeviceHub::Outgoing outgoing = sender.prepareElsewhere(owner, *store.device(mac.deviceId),
                                                                 "get_state", JSON(JSON::Object{}));
    store.addAudit(outgoing.audit());
    sender.track(outgoing);
    const std::string id = outgoing.command.id;

    EXPECT_EQ(hub.relay(owner, away.deviceId, "get_state", outgoing.message), "device_offline");
    EXPECT_EQ(hub.relay(owner, mac.deviceId, "get_state", JSON(JSON::Object{})), "invalid_request");
    EXPECT_EQ(hub.relay(owner, mac.deviceId, "get_state", outgoing.message), "");
    EXPECT_EQ(hub.relay(owner, mac.deviceId, "get_state", outgoing.message), "")
        << "handed over again";
    EXPECT_EQ(link.types(), (std::vector<std::string>{"ready", "command"})) << "sent once";

    say(session, result(id, true));
    EXPECT_EQ(commandOf(owner, id).state, DeviceHub::CommandState::Finished);
    EXPECT_EQ(store.auditOf(mac.deviceId, 10).at(0).outcome, "") << "the holder writes no row";

    EXPECT_EQ(sender.command(owner, id)->state, DeviceHub::CommandState::Sent);
    sender.settle(id, true, JSON(JSON::Object{}), {});
    sender.settle(id, false, JSON(), "relay_lost");
    EXPECT_TRUE(sender.command(owner, id)->ok) << "settled once";
    EXPECT_EQ(store.auditOf(mac.deviceId, 10).at(0).outcome, "succeeded");
}

// The sender cannot see a delivery on the holder, so it waits as long as a delivered command may
// run before giving up on one it never heard of again.
TEST_F(DeviceHubTest, ACommandOnAnotherRelayIsGivenUpOnlyAfterTheResultLimit) {
    const std::int64_t owner = account();
    const Paired mac = pair(owner);
    const DeviceHub::Outgoing outgoing =
        hub.prepareElsewhere(owner, *store.device(mac.deviceId), "get_state", JSON(JSON::Object{}));
    store.addAudit(outgoing.audit());
    hub.track(outgoing);

    clock.advance(DeviceHub::commandLifetime + DeviceHub::deliveryGrace + 1s);
    hub.sweep();
    EXPECT_EQ(commandOf(owner, outgoing.command.id).state, DeviceHub::CommandState::Sent);
    clock.advance(DeviceHub::resultLimit);
    hub.sweep();
    EXPECT_EQ(commandOf(owner, outgoing.command.id).errorCode, "command_timed_out");
    EXPECT_EQ(store.auditOf(mac.deviceId, 10).at(0).outcome, "command_timed_out");
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

TEST_F(DeviceHubTest, ACommandWhoseDeviceWentWhileItsRowWasWrittenNeverLeaves) {
    const std::int64_t owner = account();
    const Paired mac = pair(owner);
    RecordingLink link;
    const std::uint64_t session = connect(link, mac.deviceId, mac.token);
    DeviceHub::Outgoing outgoing =
        hub.prepare(owner, *store.device(mac.deviceId), "get_state", JSON(JSON::Object{}));
    store.addAudit(outgoing.audit());
    hub.closed(session);
    const std::size_t sent = link.sent.size();
    try {
        hub.dispatch(std::move(outgoing));
        ADD_FAILURE() << "sent to a device that went";
    } catch (const ContractError& error) {
        EXPECT_EQ(error.code(), "device_offline");
    }
    EXPECT_EQ(link.sent.size(), sent);
    EXPECT_EQ(store.auditOf(mac.deviceId, 10).front().outcome, "device_offline");
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

// Writes down each change the hub tells, as "device <screen or offline>" or "command <state>".
class RecordingObserver final : public DeviceHubObserver {
public:
    void deviceChanged(const std::string&, const DeviceHub::Live& live) override {
        const std::string* screen =
            live.capabilities.isObject() ? live.capabilities.stringMember("screen_state") : nullptr;
        seen.push_back(live.online ? "device " + (screen ? *screen : std::string("?"))
                                   : std::string("device offline"));
        accounts.push_back(live.accountId);
    }
    void commandChanged(const DeviceHub::Command& command) override {
        static constexpr const char* states[] = {"sent", "delivered", "finished"};
        seen.push_back(std::string("command ") + states[static_cast<int>(command.state)] +
                       (command.errorCode.empty() ? "" : " " + command.errorCode));
        accounts.push_back(command.accountId);
    }
    std::vector<std::string> seen;
    std::vector<std::int64_t> accounts;
};

TEST_F(DeviceHubTest, ObserversHearEachChangeOfDevicesAndCommandsOfTheirAccount) {
    RecordingObserver observer;
    hub.observe(&observer);
    const std::int64_t owner = account();
    const Paired mac = pair(owner);
    RecordingLink link;
    const std::uint64_t session = connect(link, mac.deviceId, mac.token);
    say(session, envelope("heartbeat", JSON::Object{{"capabilities", capabilities("locked")}}));
    const std::string done = sendOrCode(owner, mac.deviceId);
    say(session, envelope("delivered", JSON::Object{{"command_id", JSON(done)}}));
    say(session, result(done, false));
    const std::string cut = sendOrCode(owner, mac.deviceId, "mute");
    hub.closed(session);

    const std::vector<std::string> expected{
        "device unlocked",
        "device locked",
        "command sent",
        "command delivered",
        "command finished device_locked",
        "command sent",
        "command finished device_offline",
        "device offline",
    };
    EXPECT_EQ(observer.seen, expected);
    EXPECT_EQ(std::count(observer.accounts.begin(), observer.accounts.end(), owner),
              static_cast<std::ptrdiff_t>(expected.size()));
    hub.observe(nullptr);
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

TEST_F(DeviceHubTest, ASessionPastItsBudgetIsClosedAsAPolicyViolation) {
    const std::int64_t owner = account();
    const Paired mac = pair(owner);
    // Padded with white space, which costs the least to read (and so keeps this test quick).
    const std::string largeHeartbeat =
        envelope("heartbeat", JSON::Object{{"capabilities", capabilities()}}).data() +
        std::string(60000, ' ');

    // An agent at its busiest: a heartbeat every 2 seconds and the full outstanding count of
    // commands answered at once with large results.
    RecordingLink agent;
    const std::uint64_t busy = connect(agent, mac.deviceId, mac.token);
    for (int second = 0; second < 120 && !agent.closedWith; second += 2) {
        say(busy, envelope("heartbeat", JSON::Object{{"capabilities", capabilities()}}));
        if (second == 60) {
            std::vector<std::string> ids;
            for (std::size_t i = 0; i < DeviceHub::outstandingPerDevice; ++i) {
                ids.push_back(sendOrCode(owner, mac.deviceId));
            }
            for (const std::string& id : ids) {
                say(busy, envelope("delivered", JSON::Object{{"command_id", JSON(id)}}));
                say(busy, largeResult(id, 60000));
            }
        }
        clock.advance(2s);
    }
    EXPECT_FALSE(agent.closedWith);
    hub.closed(busy);

    // One that floods is closed within its burst, with 1008 (never 4001 or 4003).
    RecordingLink flood;
    const std::uint64_t flooding = connect(flood, mac.deviceId, mac.token);
    int sent = 0;
    for (; sent < 1000 && !flood.closedWith; ++sent) {
        hub.received(flooding, largeHeartbeat);
        clock.advance(20ms);
    }
    EXPECT_EQ(flood.closedWith, std::optional<int>(DeviceHub::closePolicy));
    EXPECT_LT(sent, 60);
    // Coming back at once does not renew what it may send.
    RecordingLink again;
    hub.received(connect(again, mac.deviceId, mac.token), largeHeartbeat);
    EXPECT_EQ(again.closedWith, std::optional<int>(DeviceHub::closePolicy));
}

// A second connection to the database changes it under the hub, as a damaged file would.
void breakTable(const QString& database, const char* table) {
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("vandal"));
        db.setDatabaseName(database);
        ASSERT_TRUE(db.open());
        QSqlQuery query(db);
        ASSERT_TRUE(query.exec(QStringLiteral("DROP TABLE %1").arg(QLatin1String(table))));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("vandal"));
}

TEST_F(DeviceHubTest, StorageFailuresEndOnlyTheSessionConcerned) {
    const std::int64_t owner = account();
    const Paired mac = pair(owner);
    const Paired other = pair(owner);
    RecordingLink bystander;
    const std::uint64_t watching = connect(bystander, other.deviceId, other.token);
    RecordingLink leaving;
    const std::uint64_t session = connect(leaving, mac.deviceId, mac.token);
    const std::string running = sendOrCode(owner, other.deviceId);
    breakTable(dir.filePath(QStringLiteral("relay.sqlite")), "devices");

    // Revoking itself fails to be stored: that session ends with an internal error (its agent
    // keeps nothing to retry with, but is not told it was revoked).
    say(session, envelope("revoke_self", {}));
    EXPECT_EQ(leaving.closedWith, std::optional<int>(DeviceHub::closeInternalError));
    // A stranger's hello cannot be checked: the same.
    RecordingLink stranger;
    hub.received(hub.open(stranger, Uuid::make()), helloWith("guess").data());
    EXPECT_EQ(stranger.closedWith, std::optional<int>(DeviceHub::closeInternalError));
    hub.sweep();

    // Everyone else goes on.
    EXPECT_FALSE(bystander.closedWith);
    say(watching, result(running, true));
    EXPECT_TRUE(commandOf(owner, running).ok);
    EXPECT_EQ(hub.sessionCount(), 1u);
}

TEST_F(DeviceHubTest, CommandsLeftOpenByAnEarlierRelayEndAsRestarted) {
    const std::int64_t owner = account();
    const Paired mac = pair(owner);
    RecordingLink link;
    const std::uint64_t session = connect(link, mac.deviceId, mac.token);
    const std::string open = sendOrCode(owner, mac.deviceId);
    const std::string done = sendOrCode(owner, mac.deviceId);
    say(session, result(done, true));

    // The process ends without a word (kill -9); the next one starts on the same database.
    clock.advance(3s);
    DeviceHub restarted(store, clock, validator);
    std::map<std::string, RelayStore::Audit> rows;
    for (const RelayStore::Audit& row : store.auditOf(mac.deviceId, 10)) {
        rows.emplace(row.commandId, row);
    }
    EXPECT_EQ(rows[open].outcome, "relay_restarted");
    EXPECT_EQ(rows[open].finishedAt, std::optional<RelayStore::Time>(clock.now()));
    EXPECT_EQ(rows[done].outcome, "succeeded");
    EXPECT_NE(RelayText::outcome("relay_restarted"), RelayText::error("something_unknown"));
}

TEST_F(DeviceHubTest, FinishedCommandsAreKeptWithinACountAndASize) {
    const std::int64_t owner = account();
    const Paired mac = pair(owner);
    struct Row {
        const char* name;
        DeviceHub::Limits limits;
        std::size_t resultBytes;
        std::vector<bool> kept; // of four results, oldest first
    };
    const std::vector<Row> rows{
        {"within both", {4, 1024 * 1024}, 1000, {true, true, true, true}},
        {"past the count", {3, 1024 * 1024}, 1000, {false, true, true, true}},
        {"past the size", {10, 50000}, 20000, {false, false, true, true}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DeviceHub bounded(store, clock, validator, row.limits);
        RecordingLink link;
        const std::uint64_t session = bounded.open(link, mac.deviceId);
        bounded.received(session, helloWith(mac.token).data());
        std::vector<std::string> ids;
        for (int i = 0; i < 4; ++i) {
            ids.push_back(bounded.send(owner, mac.deviceId, "get_state", JSON(JSON::Object{})));
            bounded.received(session, largeResult(ids.back(), row.resultBytes).data());
        }
        std::vector<bool> kept;
        for (const std::string& id : ids) {
            kept.push_back(bounded.command(owner, id).has_value());
        }
        EXPECT_EQ(kept, row.kept);
        EXPECT_FALSE(link.closedWith);
    }
}

} // namespace
} // namespace corvane::test
