#pragma once

// An Agent on the port fakes of the executor tests, a virtual clock, a temporary private directory,
// a scriptable credential store, a scriptable relay socket and a scriptable action in place of the
// executor.

#include "agent/Agent.h"
#include "core/CommandFeedback.h"
#include "core/ContractError.h"
#include "core/Envelope.h"
#include "core/JSON.h"
#include "core/Uuid.h"
#include "core/WireTime.h"
#include "support/FakePlatform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <coroutine>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace corvane::agent_test {

using test::FakePlatform;

class FakeVault final : public CredentialVault {
public:
    // Absent: loading fails as a locked store does.
    std::optional<Credentials> credentials =
        Credentials{std::nullopt, "local-token-0123456789abcdef0123456789abcdef", false};
    std::set<std::string> failingRemovals;
    // The accounts read and written through read() and write() (the credentials above stand
    // apart, as the store's summary does).
    std::map<std::string, std::string> secrets;

    Credentials load(bool allowInteraction) override {
        const std::lock_guard lock(mutex_);
        loads_.push_back(allowInteraction);
        if (!credentials) {
            throw ContractError("keychain_read_failed");
        }
        return *credentials;
    }
    std::optional<std::string> read(const std::string& account) override {
        const std::lock_guard lock(mutex_);
        const auto found = secrets.find(account);
        return found == secrets.end() ? std::nullopt : std::optional<std::string>(found->second);
    }
    void write(const std::string& value, const std::string& account) override {
        const std::lock_guard lock(mutex_);
        secrets[account] = value;
        written.push_back(account);
    }
    void remove(const std::string& account) override {
        const std::lock_guard lock(mutex_);
        if (failingRemovals.contains(account)) {
            throw ContractError("keychain_delete_failed");
        }
        secrets.erase(account);
        removed.push_back(account);
    }
    std::optional<std::string> secret(const std::string& account) {
        const std::lock_guard lock(mutex_);
        const auto found = secrets.find(account);
        return found == secrets.end() ? std::nullopt : std::optional<std::string>(found->second);
    }
    std::string replaceLocalToken() override {
        const std::lock_guard lock(mutex_);
        if (!credentials) {
            throw ContractError("keychain_write_failed");
        }
        credentials->local = "local-token-" + std::to_string(++replacements);
        return credentials->local;
    }
    int replacements = 0;
    std::vector<bool> loads() {
        const std::lock_guard lock(mutex_);
        return loads_;
    }

    std::vector<std::string> removed;
    std::vector<std::string> written;

private:
    std::mutex mutex_;
    std::vector<bool> loads_;
};

class FakeSocket final : public RelaySocket {
public:
    std::vector<JSON> sent;
    std::vector<int> closes;
    // Runs while a message is being sent (before the send completes).
    std::function<void(const JSON&)> onSend;
    // Message types whose send fails.
    std::set<std::string> failing;
    // Message types whose send waits for release(): a relay slow to read.
    std::set<std::string> holding;

    QCoro::Task<void> sendText(std::string text) override {
        JSON message = JSON::parse(text);
        sent.push_back(message);
        if (onSend) {
            onSend(message);
        }
        const std::string type = *message.stringMember("type");
        if (holding.contains(type)) {
            co_await Hold{this};
        }
        if (failing.contains(type)) {
            throw std::runtime_error("send failed");
        }
    }
    void close(int code) override { closes.push_back(code); }
    // Sends waiting for release().
    std::size_t held() const noexcept { return held_.size(); }
    // Completes the held sends; their senders resume inside this call.
    void release() {
        for (std::coroutine_handle<> held : std::exchange(held_, {})) {
            held.resume();
        }
    }

    std::vector<std::string> types() const {
        std::vector<std::string> out;
        for (const JSON& m : sent) {
            out.push_back(*m.stringMember("type"));
        }
        return out;
    }

private:
    struct Hold {
        FakeSocket* socket;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle) { socket->held_.push_back(handle); }
        void await_resume() const noexcept {}
    };

    std::vector<std::coroutine_handle<>> held_;
};

// The action in place of the executor.
struct ActionScript {
    std::vector<std::string> ran;
    JSON result = JSON(JSON::Object{});
    std::optional<std::string> contractError;
    bool otherError = false;
    // Runs inside the action, after it started (the screen locks, the Mac sleeps...).
    std::function<void()> during;
    // Virtual time the action takes.
    std::chrono::milliseconds duration{0};
    Clock* clock = nullptr;
};

inline QCoro::Task<JSON> runScript(std::shared_ptr<ActionScript> script, std::string action) {
    script->ran.push_back(action);
    if (script->duration.count() > 0) {
        co_await script->clock->sleep(script->duration);
    }
    if (script->during) {
        script->during();
    }
    if (script->contractError) {
        throw ContractError(*script->contractError);
    }
    if (script->otherError) {
        throw std::runtime_error("disk on fire");
    }
    // A copy: the script's result serves every run.
    JSON result = script->result;
    co_return result;
}

// What a finished task amounted to.
struct Outcome {
    bool done = false;
    std::string error; // the ContractError code, "other" for anything else
    std::optional<LocalHTTPResponse> response;
};

template <typename T>
QCoro::Task<void> track(QCoro::Task<T> task, std::shared_ptr<Outcome> outcome) {
    try {
        if constexpr (std::is_same_v<T, LocalHTTPResponse>) {
            outcome->response = co_await std::move(task);
        } else {
            co_await std::move(task);
        }
    } catch (const ContractError& e) {
        outcome->error = e.code();
    } catch (...) {
        outcome->error = "other";
    }
    outcome->done = true;
}

template <typename T>
std::shared_ptr<Outcome> start(QCoro::Task<T>&& task) {
    auto outcome = std::make_shared<Outcome>();
    track(std::move(task), outcome);
    return outcome;
}

// Runs the event loop until `condition` holds; the bound only runs out when a test is about to
// fail (the Agent's writes run on its I/O thread, which a loaded machine may hold back).
inline bool spinUntil(const std::function<bool()>& condition) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > 20000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The records of commands.jsonl.
inline std::vector<JSON> logLines(const std::filesystem::path& directory) {
    std::vector<JSON> lines;
    std::istringstream in(readFile(directory / "commands.jsonl"));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(JSON::parse(line));
    }
    return lines;
}

inline std::vector<std::string> outcomes(const std::filesystem::path& directory) {
    std::vector<std::string> out;
    for (const JSON& line : logLines(directory)) {
        out.push_back(*line.stringMember("outcome"));
    }
    return out;
}

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temporary.isValid());
        script->clock = &mac.clock;
        options.execute = [script = script](ActionExecutor&, std::string action, JSON,
                                            std::vector<std::string>, ActionExecutor::Fence) {
            return runScript(script, std::move(action));
        };
    }

    std::filesystem::path directory() const {
        return std::filesystem::path(temporary.path().toStdString()) / folder;
    }

    Agent& make() {
        options.report = [reports = reports](const std::string& text) {
            reports->push_back(text);
        };
        agent = std::make_unique<Agent>(
            mac.platform(), vault,
            Agent::Paths{directory(), QString::fromUtf8(CORVANE_SCHEMA_PATH)}, options);
        return *agent;
    }

    // A relay session with a scripted socket.
    std::uint64_t attach() { return agent->beginSession(socket); }

    // A relay command expiring `ahead` after the virtual now.
    JSON command(std::string action, std::string id,
                 std::chrono::milliseconds ahead = std::chrono::seconds(10)) const {
        return JSON(JSON::Object{{"v", JSON(1)},
                                 {"type", JSON("command")},
                                 {"id", JSON(Uuid::make())},
                                 {"ts", JSON(WireTime::text(mac.clock.now()))},
                                 {"command_id", JSON(std::move(id))},
                                 {"action", JSON(std::move(action))},
                                 {"params", JSON(JSON::Object{})},
                                 {"expires_at", JSON(WireTime::text(mac.clock.now() + ahead))}});
    }

    // Lets every step the Agent can take without the virtual clock happen: the writes on its I/O
    // and keychain threads and the coroutines they resume, until two rounds bring nothing new.
    void settle() {
        std::size_t quiet = 0;
        for (int round = 0; round < 500 && quiet < 2; ++round) {
            const std::size_t before = agent ? agent->waitForWorkers() : 0;
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            const std::size_t after = agent ? agent->waitForWorkers() : 0;
            quiet = after == before ? quiet + 1 : 0;
        }
    }

    // Moves virtual time on, letting the Agent settle before and after.
    void advance(std::chrono::milliseconds duration) {
        settle();
        mac.clock.advance(duration);
        settle();
    }

    // Runs execute() as far as it gets without virtual time (to its end, unless a script waits).
    std::shared_ptr<Outcome> execute(JSON message, std::optional<std::uint64_t> generation = {}) {
        auto outcome =
            start(agent->execute(std::move(message), generation.value_or(agent->generation())));
        settle();
        return outcome;
    }

    std::shared_ptr<Outcome> local(std::string action) {
        auto outcome = start(agent->localCommand(
            JSON(JSON::Object{{"action", JSON(std::move(action))}, {"params", JSON::Object{}}})));
        settle();
        return outcome;
    }

    // A local refusal: status 409 with the code and its sentence.
    static void expectRefused(const std::shared_ptr<Outcome>& outcome, const std::string& code) {
        ASSERT_TRUE(outcome->response.has_value()) << outcome->error;
        EXPECT_EQ(outcome->response->status, 409);
        EXPECT_EQ(outcome->response->body, localError(code, CommandFeedback::error(code)));
    }

    void startConnections() {
        auto outcome = start(agent->startConnections(false));
        ASSERT_TRUE(spinUntil([&] { return outcome->done; }));
    }

    QTemporaryDir temporary;
    std::string folder = "Corvane";
    FakePlatform mac;
    std::shared_ptr<FakeVault> vault = std::make_shared<FakeVault>();
    std::shared_ptr<FakeSocket> socket = std::make_shared<FakeSocket>();
    std::shared_ptr<ActionScript> script = std::make_shared<ActionScript>();
    Agent::Options options;
    // What the Agent reported as the causes behind its codes.
    std::shared_ptr<std::vector<std::string>> reports =
        std::make_shared<std::vector<std::string>>();
    std::unique_ptr<Agent> agent;
};

} // namespace corvane::agent_test
