// The relay and local command pipeline: order of checks, what each refusal logs and answers.

#include "AgentFixture.h"

#include "CorvaneCore/CommandFeedback.h"
#include "CorvaneCore/Envelope.h"
#include "CorvaneCore/FileError.h"
#include "CorvaneCore/LocalForensicLog.h"

#include "CorvaneCore/WireTime.h"
#include "support/RawHTTPClient.h"
#include <sys/statvfs.h>

#include <gmock/gmock.h>

namespace corvane::agent_test {
namespace {

using test::FakeConsole;
using ::testing::ElementsAre;

constexpr const char* idA = "6f1c1b2e-8a5d-4a4e-9a51-3f7c2d9e0b11";
constexpr const char* idB = "0b8d6a4c-2f31-4c5e-b1d7-9e2a4f6c8d01";

JSON resultFor(const FakeSocket& socket, std::size_t index) {
    return socket.sent.at(index);
}

TEST_F(AgentTest, RelayCommandIsDeliveredRunLoggedAnsweredAndARepeatRefused) {
    make();
    const std::uint64_t generation = attach();
    auto outcome = execute(command("mute", idA), generation);

    ASSERT_TRUE(outcome->done);
    EXPECT_EQ(outcome->error, "");
    EXPECT_THAT(socket->types(), ElementsAre("delivered", "result"));
    EXPECT_EQ(*resultFor(*socket, 0).stringMember("command_id"), idA);
    const JSON& result = resultFor(*socket, 1);
    EXPECT_EQ(*result.stringMember("command_id"), idA);
    EXPECT_TRUE(result.find("ok")->isTrue());
    EXPECT_EQ(*result.find("data"), JSON(JSON::Object{}));
    EXPECT_THAT(script->ran, ElementsAre("mute"));
    EXPECT_THAT(outcomes(directory()), ElementsAre("received", "succeeded"));
    EXPECT_EQ(agent->lastCommand(), CommandFeedback::success("mute", JSON(JSON::Object{})));
    // The reservation is on disk, so a restart still refuses the id.
    const JSON ledger = JSON::parse(readFile(directory() / "dedup.json"));
    ASSERT_EQ(ledger.array()->size(), 1u);
    EXPECT_EQ(*ledger.array()->front().stringMember("id"), idA);

    // The same id again: refused without delivery, logged, nothing run.
    socket->sent.clear();
    outcome = execute(command("mute", idA), generation);
    EXPECT_EQ(outcome->error, "");
    EXPECT_THAT(socket->types(), ElementsAre("result"));
    EXPECT_FALSE(resultFor(*socket, 0).find("ok")->isTrue());
    EXPECT_EQ(*resultFor(*socket, 0).stringMember("error_code"), "duplicate_command");
    EXPECT_THAT(script->ran, ElementsAre("mute"));
    EXPECT_THAT(outcomes(directory()), ElementsAre("received", "succeeded", "duplicate_command"));
    EXPECT_EQ(agent->lastCommand(), CommandFeedback::error("duplicate_command"));
}

// Refusals before the command is received: answered and logged with their code, nothing
// delivered, nothing run, and the id is not reserved.
TEST_F(AgentTest, RefusalsBeforeReceipt) {
    struct Row {
        const char* name;
        std::function<void(Agent&)> arrange;
        std::chrono::milliseconds ahead;
        bool staleGeneration;
        const char* code;
    };
    const std::vector<Row> rows{
        {"pending revocation", [](Agent& a) { a.revoke(); }, std::chrono::seconds(10), false,
         "session_changed"},
        {"older session", [](Agent&) {}, std::chrono::seconds(10), true, "session_changed"},
        {"expired", [](Agent&) {}, std::chrono::milliseconds(-5001), false, "command_expired"},
        {"too far ahead", [](Agent&) {}, std::chrono::milliseconds(20001), false,
         "invalid_deadline"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        folder = row.name;
        script->ran.clear();
        socket->sent.clear();
        make();
        const std::uint64_t generation = attach();
        row.arrange(*agent);
        settle();
        // A revocation may have sent "revoke_self" already.
        socket->sent.clear();
        auto outcome = execute(command("mute", idA, row.ahead),
                               row.staleGeneration ? generation - 1 : generation);

        EXPECT_EQ(outcome->error, "");
        EXPECT_THAT(socket->types(), ElementsAre("result"));
        EXPECT_EQ(*resultFor(*socket, 0).stringMember("error_code"), row.code);
        EXPECT_TRUE(script->ran.empty());
        EXPECT_THAT(outcomes(directory()), ElementsAre(row.code));
        EXPECT_EQ(agent->lastCommand(), CommandFeedback::error(row.code));
        agent.reset();
    }
}

TEST_F(AgentTest, CommandWithoutIdOrActionIsASessionFailure) {
    make();
    const std::uint64_t generation = attach();
    JSON message = command("mute", idA);
    message.object()->erase("command_id");
    auto outcome = execute(message, generation);
    EXPECT_EQ(outcome->error, "invalid_message");
    EXPECT_TRUE(socket->sent.empty());
    EXPECT_FALSE(std::filesystem::exists(directory() / "commands.jsonl"));
}

// The Mac sleeps while "delivered" is on its way: the command does not run, is logged as
// "session_changed", and its failure reply finds no socket.
TEST_F(AgentTest, SuspensionAfterDeliveryRefusesAndCannotReply) {
    make();
    const std::uint64_t generation = attach();
    socket->onSend = [this](const JSON& message) {
        if (*message.stringMember("type") == "delivered") {
            Q_EMIT mac.workspace.willSleep();
        }
    };

    auto outcome = execute(command("mute", idA), generation);

    ASSERT_TRUE(outcome->done);
    EXPECT_EQ(outcome->error, "device_offline");
    EXPECT_TRUE(script->ran.empty());
    EXPECT_THAT(socket->types(), ElementsAre("delivered"));
    EXPECT_THAT(socket->closes, ElementsAre(1001));
    EXPECT_THAT(outcomes(directory()), ElementsAre("received", "session_changed"));
    EXPECT_EQ(agent->status(), "Offline — session inactive");
    EXPECT_FALSE(agent->hasSocket());
}

// The screen changes while the action runs: the privacy rule reads it afresh afterwards.
TEST_F(AgentTest, PrivacyRuleAppliesToResultsReadyAfterTheScreenChanged) {
    struct Row {
        const char* action;
        ScreenState after;
        const char* code; // empty: answered with the replacement below
        JSON replacement;
    };
    const std::vector<Row> rows{
        {"get_state", ScreenState::Locked, "", JSON(JSON::Object{{"screen_locked", JSON(true)}})},
        {"desktop_observe", ScreenState::Locked, "device_locked", JSON()},
        {"get_state", ScreenState::Unknown, "lock_state_unknown", JSON()},
        {"desktop_observe", ScreenState::Inactive, "lock_state_unknown", JSON()},
    };
    make();
    const std::uint64_t generation = attach();
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.action) + " " + std::string(rawValue(row.after)));
        mac.console.set(ScreenState::Unlocked);
        // Something the privacy rule must not release.
        script->result = JSON(JSON::Object{{"secret", JSON("window contents")}});
        script->during = [this, state = row.after] {
            mac.console.set(state);
        };
        socket->sent.clear();
        const std::string id = Uuid::make();

        execute(command(row.action, id), generation);

        ASSERT_EQ(socket->sent.size(), 2u);
        const JSON& result = resultFor(*socket, 1);
        if (std::string_view(row.code).empty()) {
            EXPECT_TRUE(result.find("ok")->isTrue());
            EXPECT_EQ(*result.find("data"), row.replacement);
            EXPECT_EQ(outcomes(directory()).back(), "succeeded");
        } else {
            EXPECT_EQ(*result.stringMember("error_code"), row.code);
            EXPECT_EQ(outcomes(directory()).back(), row.code);
        }
    }
}

TEST_F(AgentTest, ErrorsOutsideTheContractBecomeStorageFailures) {
    script->otherError = true;
    make();
    execute(command("mute", idA), attach());
    EXPECT_EQ(*resultFor(*socket, 1).stringMember("error_code"), "connection_or_storage_failed");
    EXPECT_THAT(outcomes(directory()), ElementsAre("received", "connection_or_storage_failed"));
    // The code says little; the real cause goes to the report (the headless agent prints it).
    EXPECT_THAT(*reports, ElementsAre("disk on fire"));

    // A result that breaks the contract is refused by the result check.
    script->otherError = false;
    script->result = JSON("not an object");
    execute(command("mute", idB), agent->generation());
    EXPECT_EQ(*socket->sent.back().stringMember("error_code"), "invalid_message");
}

TEST_F(AgentTest, FailedResultSendIsLoggedAndEndsTheSession) {
    make();
    const std::uint64_t generation = attach();
    socket->failing = {"result"};
    auto outcome = execute(command("mute", idA), generation);
    // The success reply failed, so did the failure reply: execute throws the transport's error.
    EXPECT_EQ(outcome->error, "other");
    EXPECT_THAT(outcomes(directory()),
                ElementsAre("received", "succeeded", "connection_or_storage_failed"));
}

TEST_F(AgentTest, LocalCommandAnswersAndLogsWithAFifteenSecondDeadline) {
    make();
    auto ok = local("mute");
    ASSERT_TRUE(ok->done);
    EXPECT_EQ(ok->response->status, 200);
    EXPECT_EQ(ok->response->body, JSON(JSON::Object{}));

    const std::vector<JSON> lines = logLines(directory());
    ASSERT_EQ(lines.size(), 2u);
    for (const JSON& line : lines) {
        EXPECT_EQ(*line.find("params"), JSON(JSON::Object{}));
        EXPECT_EQ(*line.stringMember("action"), "mute");
    }
    EXPECT_EQ(*lines[0].stringMember("command_id"), *lines[1].stringMember("command_id"));
    // The local path changes neither the window's text nor the relay.
    EXPECT_EQ(agent->lastCommand(), "None");

    // Refusals: status 409 with the code and its sentence.
    script->contractError = "action_unsupported";
    auto refused = local("mute");
    EXPECT_EQ(refused->response->status, 409);
    EXPECT_EQ(refused->response->body,
              localError("action_unsupported", CommandFeedback::error("action_unsupported")));
    EXPECT_EQ(outcomes(directory()).back(), "action_unsupported");

    auto invalid = start(agent->localCommand(JSON(JSON::Object{{"action", JSON("mute")}})));
    settle();
    EXPECT_EQ(invalid->response->status, 409);
    EXPECT_EQ(Agent::answerCode(invalid->response->body), "invalid_message");
}

TEST_F(AgentTest, LocalCommandIsRefusedWhileSuspendedOrRevoking) {
    make();
    Q_EMIT mac.workspace.sessionDidResignActive();
    auto asleep = local("mute");
    EXPECT_EQ(asleep->response->status, 409);
    EXPECT_EQ(asleep->response->body,
              localError("session_changed", CommandFeedback::error("session_changed")));
    EXPECT_TRUE(script->ran.empty());
    EXPECT_FALSE(std::filesystem::exists(directory() / "commands.jsonl"));
}

TEST_F(AgentTest, WriteFailureBeforeTheActionIsAStorageFailure) {
    make();
    // The private directory cannot be created any more: a file is in its place.
    std::filesystem::remove_all(directory());
    { std::ofstream(directory()) << "x"; }
    auto outcome = local("mute");
    EXPECT_EQ(outcome->response->status, 409);
    EXPECT_EQ(Agent::answerCode(outcome->response->body), "connection_or_storage_failed");
    EXPECT_TRUE(script->ran.empty());
}

TEST_F(AgentTest, LocalCommandsOverTheLoopbackListener) {
    make();
    startConnections();
    ASSERT_TRUE(agent->listening());
    const std::string token = vault->credentials->local;

    auto post = [&](std::string_view body) {
        test::RawHTTPClient client(agent->localPort());
        EXPECT_TRUE(client.connected());
        client.send(test::RawHTTPClient::request(agent->localPort(), token, body));
        return client.readUntilClosed(std::chrono::seconds(20));
    };

    const auto ok = post(R"({"action":"mute","params":{}})");
    EXPECT_EQ(ok.status(), 200);
    EXPECT_EQ(JSON::parse(ok.body()), JSON(JSON::Object{}));
    const JSON received = logLines(directory()).front();
    EXPECT_EQ(*received.stringMember("created_at"), "2026-01-01T00:00:00.000Z");

    script->contractError = "action_unsupported";
    const auto unsupported = post(R"({"action":"no_such_thing","params":{}})");
    EXPECT_EQ(unsupported.status(), 409);
    EXPECT_EQ(JSON::parse(unsupported.body()),
              localError("action_unsupported", CommandFeedback::error("action_unsupported")));
}

TEST_F(AgentTest, HandlerAnswers503OnceTheAgentIsGone) {
    make();
    LocalHTTPHandler handler = agent->localHandler();
    agent.reset();
    auto outcome = start(handler(JSON(JSON::Object{{"action", JSON("mute")}, {"params", JSON()}})));
    ASSERT_TRUE(outcome->done);
    EXPECT_EQ(outcome->response->status, 503);
    EXPECT_EQ(outcome->response->body, JSON(JSON::Object{}));
}

TEST_F(AgentTest, WindowActionsRunOneAtATime) {
    script->duration = std::chrono::seconds(1);
    make();
    std::vector<std::string> before;
    QObject::connect(agent.get(), &Agent::aboutToChange, agent.get(), [&](Agent::Field field) {
        if (field == Agent::Field::LastCommand) {
            before.push_back(agent->lastCommand());
        }
    });

    agent->runLocalAction("mute", JSON(JSON::Object{}));
    agent->runLocalAction("unmute", JSON(JSON::Object{}));
    EXPECT_TRUE(agent->actionRunning());
    EXPECT_EQ(agent->lastCommand(), "Working…");
    advance(std::chrono::seconds(1));

    EXPECT_FALSE(agent->actionRunning());
    EXPECT_THAT(script->ran, ElementsAre("mute"));
    EXPECT_EQ(agent->lastCommand(), CommandFeedback::success("mute", JSON(JSON::Object{})));
    // Observers see the old value when told of a change.
    EXPECT_THAT(before, ElementsAre("None", "Working…"));

    script->duration = {};
    script->contractError = "action_failed_or_permission_required";
    agent->runLocalAction("unmute", JSON(JSON::Object{}));
    settle();
    EXPECT_EQ(agent->lastCommand(), CommandFeedback::error("action_failed_or_permission_required"));
}

TEST(AgentAnswerCode, FallsBackToActionFailed) {
    const std::vector<std::pair<JSON, std::string>> rows{
        {JSON(JSON::Object{}), "action_failed"},
        {JSON(JSON::Object{{"error", JSON(JSON::Object{})}}), "action_failed"},
        {JSON(JSON::Object{{"error", JSON(JSON::Object{{"code", JSON(7)}})}}), "action_failed"},
        {JSON(JSON::Object{{"error", JSON("device_locked")}}), "action_failed"},
        {JSON(JSON::Object{{"error", JSON(JSON::Object{{"code", JSON("device_locked")}})}}),
         "device_locked"},
    };
    for (const auto& [body, code] : rows) {
        EXPECT_EQ(Agent::answerCode(body), code) << body.data();
    }
}

// A full disk between the "received" record and the final one would leave an action run and its
// caller told it failed (and a retry runs it again): a change is refused before it runs when the
// log's next rewrite would not fit. Reads still answer.
TEST_F(AgentTest, NoRoomForTheLogRefusesChangesBeforeTheyRun) {
    auto free = std::make_shared<std::uint64_t>(0);
    LocalForensicLog::Calls calls = LocalForensicLog::Calls::system();
    calls.statvfs = [free](const char*, struct statvfs* info) {
        *info = {};
        info->f_frsize = 1;
        info->f_bavail = *free;
        return 0;
    };
    options.logCalls = calls;
    make();
    auto refused = local("mute");
    EXPECT_EQ(refused->response->status, 409);
    EXPECT_EQ(Agent::answerCode(refused->response->body), "connection_or_storage_failed");
    EXPECT_TRUE(script->ran.empty());
    ASSERT_FALSE(reports->empty());
    EXPECT_NE(reports->front().find("commands.jsonl"), std::string::npos) << reports->front();

    EXPECT_EQ(local("get_state")->response->status, 200);
    *free = 64 * 1024 * 1024;
    EXPECT_EQ(local("mute")->response->status, 200);
    EXPECT_THAT(script->ran, ElementsAre("get_state", "mute"));
}

// A damaged line refuses every command until a person repairs the log: the status says where.
TEST_F(AgentTest, DamagedLogIsNamedWithItsLine) {
    std::filesystem::create_directories(directory());
    {
        std::ofstream(directory() / "commands.jsonl")
            << "{\"created_at\":\"2026-01-01T00:00:00Z\"}\nnot json\n";
    }
    make();
    auto refused = local("mute");
    EXPECT_EQ(Agent::answerCode(refused->response->body), "invalid_local_log");
    EXPECT_EQ(agent->status(), "Damaged file " + (directory() / "commands.jsonl").string() +
                                   ", line 2: repair or remove it.");
}

// Local commands carry ids the Agent made itself, which can never repeat: they are not reserved,
// so a local caller cannot push relay ids out of the ledger and let a replay run again.
TEST_F(AgentTest, LocalCommandsLeaveTheLedgerToRelayIds) {
    make();
    const std::uint64_t generation = attach();
    execute(command("mute", idA), generation);
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(local("mute")->response->status, 200);
    }
    const JSON ledger = JSON::parse(readFile(directory() / "dedup.json"));
    ASSERT_EQ(ledger.array()->size(), 1u);
    EXPECT_EQ(*ledger.array()->front().stringMember("id"), idA);

    mac.clock.advance(std::chrono::minutes(5));
    socket->sent.clear();
    execute(command("mute", idA), generation);
    EXPECT_EQ(*resultFor(*socket, 0).stringMember("error_code"), "duplicate_command");
}

} // namespace
} // namespace corvane::agent_test
