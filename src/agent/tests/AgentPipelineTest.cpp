// The relay and local command pipeline: order of checks, what each refusal logs and answers.

#include "AgentFixture.h"

#include "core/LocalForensicLog.h"

#include <sys/statvfs.h>

#include <gmock/gmock.h>

namespace corvane::agent_test {
namespace {

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
    // Local commands carry ids the Agent made itself, which can never repeat: they are not
    // reserved, so a local caller cannot push relay ids out of the ledger and let a replay run
    // again. The reservation is on disk, so a restart still refuses the id.
    ASSERT_EQ(local("mute")->response->status, 200);
    const JSON ledger = JSON::parse(readFile(directory() / "dedup.json"));
    ASSERT_EQ(ledger.array()->size(), 1u);
    EXPECT_EQ(*ledger.array()->front().stringMember("id"), idA);

    // The same id again, minutes later: refused without delivery, logged, nothing run.
    mac.clock.advance(std::chrono::minutes(5));
    socket->sent.clear();
    outcome = execute(command("mute", idA), generation);
    EXPECT_EQ(outcome->error, "");
    EXPECT_THAT(socket->types(), ElementsAre("result"));
    EXPECT_FALSE(resultFor(*socket, 0).find("ok")->isTrue());
    EXPECT_EQ(*resultFor(*socket, 0).stringMember("error_code"), "duplicate_command");
    EXPECT_THAT(script->ran, ElementsAre("mute", "mute"));
    EXPECT_THAT(outcomes(directory()),
                ElementsAre("received", "succeeded", "received", "succeeded", "duplicate_command"));
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
// "session_changed", and its failure reply finds no socket. Waking lets commands in again.
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
    EXPECT_FALSE(agent->online());
    EXPECT_TRUE(agent->suspended());
    EXPECT_GT(agent->generation(), generation);

    Q_EMIT mac.workspace.didWake();
    EXPECT_FALSE(agent->suspended());
    EXPECT_EQ(local("mute")->response->status, 200);
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

TEST_F(AgentTest, LocalCommandAnswersAndLogsOrIsRefused) {
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
    EXPECT_EQ(*lines[0].stringMember("created_at"), "2026-01-01T00:00:00.000Z");
    // The local path changes neither the window's text nor the relay.
    EXPECT_EQ(agent->lastCommand(), "None");

    script->contractError = "action_unsupported";
    expectRefused(local("mute"), "action_unsupported");
    EXPECT_EQ(outcomes(directory()).back(), "action_unsupported");
    script->contractError.reset();

    auto invalid = start(agent->localCommand(JSON(JSON::Object{{"action", JSON("mute")}})));
    settle();
    expectRefused(invalid, "invalid_message");

    // Refused while the session is inactive, before anything is logged or run.
    const std::size_t logged = logLines(directory()).size();
    Q_EMIT mac.workspace.sessionDidResignActive();
    expectRefused(local("mute"), "session_changed");
    EXPECT_EQ(logLines(directory()).size(), logged);
    Q_EMIT mac.workspace.sessionDidBecomeActive();

    // The private directory cannot be created any more (a file is in its place): a storage
    // failure before the action runs.
    std::filesystem::remove_all(directory());
    { std::ofstream(directory()) << "x"; }
    expectRefused(local("mute"), "connection_or_storage_failed");
    EXPECT_THAT(script->ran, ElementsAre("mute", "mute"));
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
    expectRefused(local("mute"), "connection_or_storage_failed");
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
    expectRefused(local("mute"), "invalid_local_log");
    EXPECT_EQ(agent->status(), "Damaged file " + (directory() / "commands.jsonl").string() +
                                   ", line 2: repair or remove it.");
}

// The error code of the last "result" message sent, "ok" for a success.
std::string resultCode(const FakeSocket& socket) {
    for (auto it = socket.sent.rbegin(); it != socket.sent.rend(); ++it) {
        if (*it->stringMember("type") == "result") {
            const std::string* code = it->stringMember("error_code");
            return code != nullptr ? *code : "ok";
        }
    }
    return "no result";
}

// The media action asks the person before its first automation of a player. Whatever happened
// while they were answering (a revocation, the screen locking, the computer going to sleep),
// nothing runs after the answer and the command ends as it would have, had that come first.
TEST_F(AgentTest, AnAnsweredPromptIsFollowedByTheFenceAndTheLockCheck) {
    options.execute = nullptr; // the real executor
    mac.players.players = {test::spotify};
    mac.prompts.holding = true;
    struct Row {
        const char* name;
        std::function<void()> change;
        const char* code;
    };
    const Row rows[] = {
        {"revocation", [this] { agent->revoke(); }, "session_changed"},
        {"lock", [this] { mac.console.set(ScreenState::Locked); }, "device_locked"},
        // The session is closed with the suspension: no result can be sent.
        {"sleep", [this] { Q_EMIT mac.workspace.willSleep(); }, "device_offline"},
    };
    for (const Row& row : rows) {
        for (const bool whileAsked : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (whileAsked ? " while asked" : " first"));
            folder = std::string(row.name) + (whileAsked ? "-asked" : "-first");
            mac.console.set(ScreenState::Unlocked);
            mac.prompts.shown.clear();
            socket = std::make_shared<FakeSocket>();
            make();
            const std::uint64_t generation = attach();
            if (!whileAsked) {
                row.change();
                settle();
            }
            auto outcome = execute(command("media_next", idA), generation);
            if (whileAsked) {
                ASSERT_TRUE(mac.prompts.open());
                row.change();
                settle();
                mac.prompts.answer(UserPrompts::Answer::First);
                settle();
            }
            ASSERT_TRUE(outcome->done);
            EXPECT_EQ(outcome->error.empty() ? resultCode(*socket) : outcome->error, row.code);
            EXPECT_EQ(mac.prompts.shown.size(), whileAsked ? 1u : 0u);
            EXPECT_TRUE(mac.players.calls.empty());
            EXPECT_EQ(mac.defaults.boolValue("automation-explained-Spotify"), std::nullopt);
            agent.reset();
        }
    }

    // Nothing changed meanwhile: the answer lets the command go on.
    folder = "unchanged";
    mac.console.set(ScreenState::Unlocked);
    socket = std::make_shared<FakeSocket>();
    make();
    auto outcome = execute(command("media_next", idA), attach());
    ASSERT_TRUE(mac.prompts.open());
    mac.prompts.answer(UserPrompts::Answer::First);
    settle();
    ASSERT_TRUE(outcome->done);
    EXPECT_EQ(resultCode(*socket), "ok");
    EXPECT_EQ(mac.players.calls, std::vector<std::string>{"next com.spotify.client"});
}

// The relay reads slowly and the Agent goes while one of a command's messages is being sent: the
// command ends without touching the Agent again (ASan watches).
TEST_F(AgentTest, AnAgentGoingDuringASendIsNeverTouchedAgain) {
    for (const std::string type : {"delivered", "result"}) {
        SCOPED_TRACE(type);
        folder = type;
        script->ran.clear();
        socket = std::make_shared<FakeSocket>();
        socket->holding = {type};
        make();
        auto outcome = execute(command("mute", idA), attach());
        ASSERT_EQ(socket->held(), 1u);
        agent.reset();
        socket->release();
        settle();
        ASSERT_TRUE(outcome->done);
        EXPECT_EQ(outcome->error, type == "delivered" ? "session_changed" : "");
        EXPECT_EQ(script->ran.size(), type == "delivered" ? 0u : 1u);
    }
}

} // namespace
} // namespace corvane::agent_test
