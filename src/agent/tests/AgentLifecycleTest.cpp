// Construction, credentials and the loopback listener, the state monitor, suspension, revocation,
// wipe and the Shortcut allowlist.

#include "AgentFixture.h"

#include "core/CommandFeedback.h"
#include "core/RevocationState.h"

#include <QDir>
#include <QHostAddress>
#include <QTcpServer>

#include "support/RawHTTPClient.h"

#include <atomic>
#include <thread>

#include <gmock/gmock.h>

namespace corvane::agent_test {
namespace {

using ::testing::ElementsAre;
using Defaults = test::MemoryDefaults;

std::optional<std::int64_t> storedPort(const Defaults& defaults) {
    return defaults.integerValue("local-port");
}

bool dynamic(std::int64_t port) {
    return port >= 49152 && port <= 65535;
}

// Holds a port of the dynamic range and stores it as the Agent's "local-port", so that it is kept
// and then found taken.
quint16 squat(QTcpServer& server, Defaults& defaults) {
    for (quint16 port = 60001; port < 65000; port += 7) {
        if (server.listen(QHostAddress::LocalHost, port)) {
            defaults.values["local-port"] = std::int64_t(port);
            return port;
        }
    }
    return 0;
}

// A keychain that holds its caller until released, as a slow unlock does.
class HeldVault final : public CredentialVault {
public:
    explicit HeldVault(const std::string* store)
        : store_(store) {}
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};

    Credentials load(bool) override {
        entered = true;
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // Reads what belongs to the platform, which goes right after the Agent.
        return Credentials{std::nullopt, *store_, false};
    }
    std::optional<std::string> read(const std::string&) override { return std::nullopt; }
    void write(const std::string&, const std::string&) override {}
    void remove(const std::string&) override {}
    std::string replaceLocalToken() override { return *store_; }

private:
    const std::string* store_;
};

TEST_F(AgentTest, MissingContractDocumentFailsConstruction) {
    try {
        Agent broken(mac.platform(), vault,
                     Agent::Paths{directory(), QString::fromUtf8(CORVANE_SCHEMA_PATH) +
                                                   QStringLiteral(".absent")});
        FAIL() << "constructed without a contract";
    } catch (const ContractError& e) {
        EXPECT_EQ(e.code(), "schema_missing");
    }
}

TEST_F(AgentTest, LoopbackPortIsKeptInTheDynamicRangeOrReplaced) {
    struct Row {
        std::optional<std::int64_t> stored;
        bool kept;
    };
    const std::vector<Row> rows{{49152, true},  {65535, true}, {49151, false},
                                {65536, false}, {0, false},    {std::nullopt, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.stored ? std::to_string(*row.stored) : "unset");
        mac.defaults.values.clear();
        if (row.stored) {
            mac.defaults.values["local-port"] = *row.stored;
        }
        make();
        const std::int64_t port = agent->localPort();
        EXPECT_EQ(storedPort(mac.defaults), port);
        if (row.kept) {
            EXPECT_EQ(port, *row.stored);
        } else {
            EXPECT_TRUE(dynamic(port)) << port;
        }
        agent.reset();
    }
}

TEST_F(AgentTest, StartConnectionsStartsTheListenerAndGoesReady) {
    make();
    std::vector<Agent::Field> fields;
    QObject::connect(agent.get(), &Agent::changed, agent.get(),
                     [&](Agent::Field field) { fields.push_back(field); });
    auto outcome = start(agent->startConnections(false));
    EXPECT_TRUE(agent->openingKeys());
    EXPECT_EQ(agent->status(), "Opening secure connection…");
    ASSERT_TRUE(spinUntil([&] { return outcome->done; }));

    EXPECT_TRUE(agent->connectionReady());
    EXPECT_FALSE(agent->openingKeys());
    EXPECT_TRUE(agent->listening());
    EXPECT_EQ(agent->status(), "Unpaired");
    EXPECT_THAT(vault->loads(), ElementsAre(false));
    EXPECT_THAT(fields, ::testing::Contains(Agent::Field::ConnectionReady));

    // Once ready, a second start does nothing.
    auto again = start(agent->startConnections(true));
    EXPECT_TRUE(again->done);
    EXPECT_THAT(vault->loads(), ElementsAre(false));
}

// Another program holds the remembered port: the listener moves, and so does the token, because
// scripts still using the old port would hand the token to whoever holds that port now.
TEST_F(AgentTest, TakenPortIsReplacedAndSavedWithANewToken) {
    QTcpServer squatter;
    const quint16 taken = squat(squatter, mac.defaults);
    ASSERT_NE(taken, 0);
    const std::string oldToken = vault->credentials->local;
    make();
    ASSERT_EQ(agent->localPort(), taken);

    startConnections();
    settle();

    EXPECT_TRUE(agent->listening());
    EXPECT_NE(agent->localPort(), taken);
    EXPECT_TRUE(dynamic(agent->localPort()));
    EXPECT_EQ(storedPort(mac.defaults), agent->localPort());
    EXPECT_EQ(agent->status(), "Unpaired");
    EXPECT_EQ(vault->replacements, 1);
    ASSERT_FALSE(reports->empty());
    EXPECT_NE(reports->back().find("new local API token"), std::string::npos) << reports->back();

    const auto post = [this](const std::string& token) {
        test::RawHTTPClient client(agent->localPort());
        client.send(test::RawHTTPClient::request(agent->localPort(), token,
                                                 R"({"action":"mute","params":{}})"));
        return client.readUntilClosed(std::chrono::seconds(20)).status();
    };
    EXPECT_EQ(post(oldToken), 401);
    EXPECT_EQ(post(vault->credentials->local), 200);
}

TEST_F(AgentTest, PortThatStaysTakenEndsInTheKeysLockedText) {
    QTcpServer squatter;
    const quint16 taken = squat(squatter, mac.defaults);
    ASSERT_NE(taken, 0);
    int picks = 0;
    options.randomPort = [&picks, taken] {
        ++picks;
        return taken;
    };
    make();
    startConnections();
    EXPECT_EQ(picks, Agent::portAttempts - 1);
    EXPECT_FALSE(agent->listening());
    EXPECT_FALSE(agent->connectionReady());
    EXPECT_EQ(agent->status(), Agent::keysLockedText);
}

// Once the keys open, connecting again asks with a prompt allowed; waking retries without one.
TEST_F(AgentTest, LockedKeysLeaveTheListenerOffAndLocalControlsWorking) {
    for (const bool wake : {false, true}) {
        SCOPED_TRACE(wake ? "wake" : "connect");
        folder = wake ? "wake" : "connect";
        vault = std::make_shared<FakeVault>();
        vault->credentials.reset();
        make();
        startConnections();
        EXPECT_EQ(agent->status(), Agent::keysLockedText);
        EXPECT_FALSE(agent->listening());
        EXPECT_FALSE(agent->connectionReady());
        EXPECT_FALSE(agent->openingKeys());

        agent->runLocalAction("mute", JSON(JSON::Object{}));
        settle();
        EXPECT_EQ(agent->lastCommand(), CommandFeedback::success("mute", JSON(JSON::Object{})));

        vault->credentials =
            CredentialVault::Credentials{"device", "local-token-abcdefabcdef", false};
        if (wake) {
            Q_EMIT mac.workspace.sessionDidResignActive();
            Q_EMIT mac.workspace.sessionDidBecomeActive();
        } else {
            start(agent->startConnections(true));
        }
        ASSERT_TRUE(spinUntil([&] { return agent->connectionReady(); }));
        EXPECT_THAT(vault->loads(), ElementsAre(false, !wake));
        EXPECT_EQ(agent->token(), std::optional<std::string>("device"));
        agent.reset();
    }
}

TEST_F(AgentTest, LockClearsTheReportAndSuspendsDesktopControlWithinAQuarterSecond) {
    make();
    agent->refreshDeviceState();
    settle();
    ASSERT_TRUE(agent->deviceState().has_value());
    const std::uint64_t epoch = agent->executor().desktop().epoch();

    mac.console.set(ScreenState::Locked);
    mac.clock.advance(std::chrono::milliseconds(249));
    EXPECT_EQ(agent->screenState(), ScreenState::Unlocked);
    EXPECT_TRUE(agent->deviceState().has_value());

    mac.clock.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(agent->screenState(), ScreenState::Locked);
    EXPECT_FALSE(agent->deviceState().has_value());
    EXPECT_GT(agent->executor().desktop().epoch(), epoch);

    // Unlocking changes the state but leaves desktop control as it is.
    const std::uint64_t locked = agent->executor().desktop().epoch();
    mac.console.set(ScreenState::Unlocked);
    mac.clock.advance(std::chrono::milliseconds(250));
    EXPECT_EQ(agent->screenState(), ScreenState::Unlocked);
    EXPECT_EQ(agent->executor().desktop().epoch(), locked);
}

// The Agent does not poll: whatever the session lock announces is its state at once, with no
// time passing.
TEST_F(AgentTest, TheScreenStateFollowsTheSessionLocksSignal) {
    make();
    agent->refreshDeviceState();
    settle();
    ASSERT_TRUE(agent->deviceState().has_value());
    SessionLock& lock = mac.mac.sessionLock();
    Q_EMIT lock.changed(ScreenState::Inactive);
    EXPECT_EQ(agent->screenState(), ScreenState::Inactive);
    EXPECT_FALSE(agent->deviceState().has_value());
    Q_EMIT lock.changed(ScreenState::Unlocked);
    EXPECT_EQ(agent->screenState(), ScreenState::Unlocked);
}

// Failures inside detached work must not leave a flag set for good: the report's flag comes
// down with the error's text, and the lock monitor reads again at its next tick.
TEST_F(AgentTest, DetachedWorkSurvivesItsErrors) {
    make();
    mac.console.failures = 2; // the privacy rule's read and the report's final read
    agent->refreshDeviceState();
    settle();
    EXPECT_FALSE(agent->readingState());
    EXPECT_EQ(agent->lastCommand(), CommandFeedback::error("connection_or_storage_failed"));

    mac.console.failures = 1;
    mac.console.set(ScreenState::Locked);
    advance(std::chrono::milliseconds(250)); // this read fails
    EXPECT_EQ(agent->screenState(), ScreenState::Unlocked);
    advance(std::chrono::milliseconds(250)); // the monitor lives on
    EXPECT_EQ(agent->screenState(), ScreenState::Locked);
    EXPECT_NE(std::find_if(reports->begin(), reports->end(),
                           [](const std::string& r) {
                               return r.find("console registry unavailable") != std::string::npos;
                           }),
              reports->end());
}

// The Agent goes while the keychain still holds its load: the keychain thread is waited for, so
// the load never reads what was freed after the Agent, and nothing leaks.
TEST_F(AgentTest, ShutdownWaitsForAHeldKeychainCall) {
    auto store = std::make_unique<std::string>("local-token-held");
    auto held = std::make_shared<HeldVault>(store.get());
    vault.reset();
    agent = std::make_unique<Agent>(
        mac.platform(), held, Agent::Paths{directory(), QString::fromUtf8(CORVANE_SCHEMA_PATH)},
        options);
    auto outcome = start(agent->startConnections(false));
    while (!held->entered) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::thread releaser([held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        held->release = true;
    });
    agent.reset(); // waits for the load
    store.reset();
    releaser.join();
    ASSERT_TRUE(spinUntil([&] { return outcome->done; }));
    EXPECT_EQ(outcome->error, "");
}

TEST_F(AgentTest, MonitorStopsWithTheAgent) {
    make();
    EXPECT_EQ(mac.clock.pendingSleeps(), 1u);
    agent.reset();
    mac.clock.advance(std::chrono::milliseconds(250));
    EXPECT_EQ(mac.clock.pendingSleeps(), 0u);
}

TEST_F(AgentTest, RefreshReadsOnceAtATime) {
    script->duration = std::chrono::seconds(1);
    script->result = JSON(JSON::Object{{"screen_locked", JSON(true)}});
    make();
    agent->refreshDeviceState();
    agent->refreshDeviceState();
    EXPECT_TRUE(agent->readingState());
    advance(std::chrono::seconds(1));
    EXPECT_FALSE(agent->readingState());
    EXPECT_THAT(script->ran, ElementsAre("get_state"));
    EXPECT_EQ(agent->deviceState(), std::optional<JSON>(script->result));
    EXPECT_EQ(agent->lastCommand(), "Mac is locked");
}

TEST_F(AgentTest, WipeRemovesSecretsInOrderAndKeepsTheRest) {
    mac.defaults.values["device-id"] = std::string("5b0c3a1e-8f6d-4b2a-9c7e-1d3f5a7b9c0e");
    mac.defaults.values["shortcuts"] = std::vector<std::string>{"Focus"};
    make();
    execute(command("mute", "6f1c1b2e-8a5d-4a4e-9a51-3f7c2d9e0b11")); // ledger and log on disk
    agent->revoke();
    settle();
    ASSERT_TRUE(agent->pending());
    vault->removed.clear();

    // A failing step stops the wipe; what came before stays done.
    vault->failingRemovals = {"pending-device-token"};
    auto failed = start(agent->wipe());
    settle();
    EXPECT_EQ(failed->error, "keychain_delete_failed");
    EXPECT_THAT(vault->removed, ElementsAre("device-token"));
    EXPECT_TRUE(agent->pending());
    EXPECT_TRUE(mac.defaults.values.contains("device-id"));

    vault->failingRemovals.clear();
    vault->removed.clear();
    auto wiped = start(agent->wipe());
    settle();
    EXPECT_TRUE(wiped->done);
    EXPECT_EQ(wiped->error, "");
    EXPECT_THAT(vault->removed,
                ElementsAre("device-token", "pending-device-token", "bootstrap-token"));
    EXPECT_FALSE(agent->pending());
    EXPECT_EQ(JSON::parse(readFile(directory() / "revocation.json")),
              JSON(JSON::Object{{"pending", JSON(false)}}));
    EXPECT_EQ(agent->status(), "Unpaired — revoked");
    EXPECT_EQ(agent->code(), "");
    EXPECT_FALSE(mac.defaults.values.contains("device-id"));
    // Kept: port, Shortcuts, ledger, log.
    EXPECT_TRUE(storedPort(mac.defaults).has_value());
    EXPECT_TRUE(mac.defaults.values.contains("shortcuts"));
    EXPECT_TRUE(std::filesystem::exists(directory() / "dedup.json"));
    EXPECT_EQ(outcomes(directory()).size(), 2u);
}

TEST_F(AgentTest, OfflineRevocationSurvivesRestartUntilConfirmed) {
    make();
    agent->revoke();
    settle();
    EXPECT_TRUE(agent->pending());
    EXPECT_EQ(agent->status(), RevocationState::warning);
    EXPECT_THAT(vault->removed, ElementsAre("device-token"));
    advance(std::chrono::seconds(5));
    agent.reset();

    make();
    EXPECT_TRUE(agent->pending());
    EXPECT_EQ(agent->status(), RevocationState::warning);
    startConnections();
    EXPECT_EQ(agent->status(), RevocationState::warning);
    EXPECT_EQ(local("mute")->response->status, 409);

    mac.prompts.answers = {UserPrompts::Answer::Second};
    agent->confirmDashboardRevocation();
    settle();
    EXPECT_TRUE(agent->pending());

    mac.prompts.answers = {UserPrompts::Answer::First};
    agent->confirmDashboardRevocation();
    settle();
    EXPECT_FALSE(agent->pending());
    EXPECT_EQ(agent->status(), "Unpaired — revoked");
    ASSERT_EQ(mac.prompts.shown.size(), 2u);
    EXPECT_EQ(mac.prompts.shown[0].message, "Have you revoked this Mac in the web dashboard?");
    EXPECT_EQ(mac.prompts.shown[0].firstButton, "I revoked it in the dashboard");
    EXPECT_EQ(mac.prompts.shown[0].secondButton, "Cancel");
}

TEST_F(AgentTest, RevocationWithASessionAsksTheRelayThenGivesUp) {
    make();
    const std::uint64_t generation = attach();
    agent->revoke();
    settle();
    EXPECT_THAT(socket->types(), ElementsAre("revoke_self"));
    EXPECT_TRUE(agent->hasSocket());

    advance(std::chrono::seconds(5));
    EXPECT_FALSE(agent->hasSocket());
    EXPECT_THAT(socket->closes, ElementsAre(1001));
    EXPECT_GT(agent->generation(), generation);
    EXPECT_TRUE(agent->pending());
}

TEST_F(AgentTest, RevocationConfirmedByTheRelayEndsUnpaired) {
    make();
    attach();
    // The session answers "revoke_self" with "revoke", which wipes.
    std::shared_ptr<Outcome> wiped;
    socket->onSend = [this, &wiped](const JSON& message) {
        if (*message.stringMember("type") == "revoke_self") {
            wiped = start(agent->wipe());
        }
    };
    agent->revoke();
    settle();
    ASSERT_TRUE(wiped && wiped->done);
    EXPECT_FALSE(agent->pending());
    EXPECT_EQ(agent->status(), "Unpaired — revoked");

    // Nothing is left for the watchdog or the give-up step to close.
    advance(std::chrono::seconds(5));
    EXPECT_TRUE(socket->closes.empty());
}

TEST_F(AgentTest, RevocationThatCannotBeRecordedChangesNothing) {
    make();
    std::filesystem::remove_all(directory());
    { std::ofstream(directory()) << "x"; }
    agent->revoke();
    settle();
    EXPECT_FALSE(agent->pending());
    EXPECT_EQ(agent->status(), CommandFeedback::error("connection_or_storage_failed"));
    EXPECT_TRUE(vault->removed.empty());
}

// A default that cannot be written is never reported as saved: the caller sees the failure, and
// what the Agent shows is what the next launch will read.
TEST_F(AgentTest, UnwritableDefaultsAreFailuresNotSuccesses) {
    mac.defaults.values["shortcuts"] = std::vector<std::string>{"Focus"};
    mac.defaults.values["device-id"] = std::string("5b0c3a1e-8f6d-4b2a-9c7e-1d3f5a7b9c0e");
    options.execute = nullptr; // the real executor, for "desktop_stop"
    make();
    agent->executor().desktop().enableDesktop();
    ASSERT_TRUE(agent->executor().desktop().desktopWide());
    mac.defaults.refuseWrites = true;

    agent->saveShortcut("Evening");
    settle();
    EXPECT_EQ(agent->lastCommand(), CommandFeedback::error("connection_or_storage_failed"));
    EXPECT_EQ(agent->shortcuts(), std::vector<std::string>{"Focus"});
    ASSERT_FALSE(reports->empty());
    EXPECT_NE(reports->back().find("shortcuts"), std::string::npos) << reports->back();

    // Withdrawing desktop control fails loudly, yet it is withdrawn in memory at once.
    auto stop = local("desktop_stop");
    EXPECT_EQ(stop->response->status, 409);
    EXPECT_EQ(Agent::answerCode(stop->response->body), "connection_or_storage_failed");
    EXPECT_FALSE(agent->executor().desktop().desktopWide());

    // The wipe stops at the step that failed.
    mac.defaults.refuseWrites = false;
    agent->executor().desktop().enableDesktop();
    mac.defaults.refuseWrites = true;
    auto wiped = start(agent->wipe());
    settle();
    EXPECT_EQ(wiped->error, "other");
    EXPECT_TRUE(vault->removed.empty());
    EXPECT_TRUE(mac.defaults.values.contains("device-id"));
}

// The name rules themselves are the allowlist's; here, that the Agent applies them and keeps
// what it stores in step with what it shows.
TEST_F(AgentTest, ShortcutNames) {
    make();
    for (const auto& [name, accepted] :
         {std::pair<std::string, bool>{"Morning Focus", true}, {"Play\nMusic", false}}) {
        SCOPED_TRACE(name);
        const std::vector<std::string> before = agent->shortcuts();
        agent->saveShortcut(name);
        settle();
        EXPECT_EQ(agent->lastCommand(),
                  accepted ? Agent::shortcutAddedText : Agent::shortcutRefusedText);
        EXPECT_EQ(agent->shortcuts().size(), before.size() + (accepted ? 1 : 0));
    }

    // A name added again still confirms; how copies and case count is the allowlist's business.
    agent->saveShortcut("Morning Focus");
    settle();
    EXPECT_EQ(agent->lastCommand(), Agent::shortcutAddedText);
    EXPECT_EQ(mac.defaults.stringListValue("shortcuts"), agent->shortcuts());
    agent->removeShortcut("Morning Focus");
    settle();
    EXPECT_EQ(mac.defaults.stringListValue("shortcuts"), agent->shortcuts());
    EXPECT_EQ(std::count(agent->shortcuts().begin(), agent->shortcuts().end(), "Morning Focus"), 0);
}

} // namespace
} // namespace corvane::agent_test
