// State several relays share on one PostgreSQL: two "relays" are two sets of objects on one
// database, each with its own connections. Sessions, rate limits, device presence and the command
// bus, including a holder that dies mid-command and a listening connection that drops.
#include "PostgresServer.h"
#include "support/VirtualClock.h"

#include "core/ContractError.h"
#include "relay/InProcessCommandBus.h"
#include "relay/InProcessDevicePresence.h"
#include "relay/InProcessRateLimits.h"
#include "relay/InProcessWebSessions.h"
#include "relay/PostgresCommandBus.h"
#include "relay/PostgresConnection.h"
#include "relay/PostgresDevicePresence.h"
#include "relay/PostgresListener.h"
#include "relay/PostgresRateLimits.h"
#include "relay/PostgresRelayStore.h"
#include "relay/PostgresWebSessions.h"
#include "relay/RelayAccounts.h"
#include "relay/RelayPasswords.h"
#include "relay/RelayStoreError.h"
#include "relay/RelayStoreThread.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <thread>

using namespace std::chrono_literals;

namespace corvane::test {
namespace {

template <typename T>
QCoro::Task<void> keeping(QCoro::Task<T> task, std::optional<T>* out, std::exception_ptr* error) {
    try {
        out->emplace(co_await std::move(task));
    } catch (...) {
        *error = std::current_exception();
    }
}

QCoro::Task<void> keeping(QCoro::Task<void> task, std::exception_ptr* error) {
    try {
        co_await std::move(task);
    } catch (...) {
        *error = std::current_exception();
    }
}

// The task's value, waited for on a nested event loop (its exception rethrown here: waitFor
// itself would hang on one).
template <typename T>
T await(QCoro::Task<T> task) {
    std::exception_ptr error;
    if constexpr (std::is_void_v<T>) {
        QCoro::waitFor(keeping(std::move(task), &error));
        if (error) {
            std::rethrow_exception(error);
        }
    } else {
        std::optional<T> out;
        QCoro::waitFor(keeping(std::move(task), &out, &error));
        if (error) {
            std::rethrow_exception(error);
        }
        return std::move(*out);
    }
}

// Runs the event loop until `done` or 5 s passed.
bool until(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    QTimer tick; // wakes the wait below when nothing else comes
    tick.start(5ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

struct Relay {
    Relay(const std::string& address, const Clock& clock, const std::string& id)
        : connection(address)
        , sessions(connection)
        , limits(connection)
        , presence(connection, clock, id)
        , bus(connection, clock, id) {}

    void listen() {
        bus.listen({[this](CommandBus::Command c) { commands.push_back(std::move(c)); },
                    [this](CommandBus::Result r) { results.push_back(std::move(r)); },
                    [this](std::string f) { failures.push_back(std::move(f)); },
                    [this](CommandBus::Event e) {
                        events.push_back(std::move(e));
                    }});
    }

    PostgresConnection connection;
    PostgresWebSessions sessions;
    PostgresRateLimits limits;
    PostgresDevicePresence presence;
    PostgresCommandBus bus;
    std::vector<CommandBus::Command> commands;
    std::vector<CommandBus::Result> results;
    std::vector<std::string> failures;
    std::vector<CommandBus::Event> events;
};

class SharedRelayStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        server = PostgresServer::shared(why);
        if (server == nullptr) {
            if (PostgresServer::required()) {
                FAIL() << why;
            }
            GTEST_SKIP() << why;
        }
        database = server->createDatabase();
        address = server->address(database);
        PostgresRelayStore migrated(address); // the shared tables come with the store's schema
        a = std::make_unique<Relay>(address, clock, "relaya");
        b = std::make_unique<Relay>(address, clock, "relayb");
    }

    // Ends `relay`'s listening connection on the server's side; how many it ended.
    int dropListener(const std::string& relayId) {
        return std::stoi(server->run(
            "postgres", "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE "
                        "application_name = '" +
                            std::string(PostgresListener::applicationName) +
                            "' AND query LIKE '%velto_bus_" + relayId + "%'"));
    }
    bool listening(const std::string& relayId) {
        return server->run("postgres", "SELECT count(*) FROM pg_stat_activity WHERE "
                                       "application_name = '" +
                                           std::string(PostgresListener::applicationName) +
                                           "' AND query LIKE '%velto_bus_" + relayId + "%'") == "1";
    }
    void allowConnections(bool allow) {
        server->run("postgres", "ALTER DATABASE " + database + " ALLOW_CONNECTIONS " +
                                    (allow ? "true" : "false"));
    }

    PostgresServer* server = nullptr;
    std::string database;
    std::string address;
    VirtualClock clock;
    std::unique_ptr<Relay> a;
    std::unique_ptr<Relay> b;
};

TEST_F(SharedRelayStateTest, ASessionMadeOnOneRelayLivesOnTheOtherUntilEndedThereOrExpired) {
    // The same on both relays' shared sessions as on one relay's own.
    InProcessWebSessions local;
    const auto scenario = [&](WebSessions& one, WebSessions& other) {
        const auto session = [&](const std::string& key, std::int64_t person) {
            WebSessions::Session s;
            s.key = key;
            s.accountId = 1;
            s.personId = person;
            s.name = "owner";
            s.csrf = "csrf-" + key;
            s.browser = "Firefox";
            s.startedAt = s.lastUsedAt = clock.now();
            s.expiresAt = clock.now() + 12h;
            return s;
        };
        await(one.create(session("k1", 1)));
        clock.advance(1s);
        await(one.create(session("k2", 1)));
        await(one.create(session("k3", 2)));

        const std::optional<WebSessions::Session> seen = await(other.find("k1", clock.now()));
        ASSERT_TRUE(seen);
        EXPECT_EQ(seen->csrf, "csrf-k1");
        EXPECT_EQ(seen->expiresAt, clock.now() - 1s + 12h);
        clock.advance(1min);
        EXPECT_TRUE(await(other.touch("k1", clock.now())));
        EXPECT_EQ(await(one.find("k1", clock.now()))->lastUsedAt, clock.now());

        const std::vector<WebSessions::Session> listed = await(one.sessionsOf(1, clock.now()));
        ASSERT_EQ(listed.size(), 2u);
        EXPECT_EQ(listed[0].key, "k1"); // oldest first

        // Another person's sessions stay; the kept one stays.
        EXPECT_EQ(await(other.endAll(1, "k2")), std::vector<std::string>{"k1"});
        EXPECT_FALSE(await(one.find("k1", clock.now())));
        await(other.end("k2"));
        EXPECT_FALSE(await(one.find("k2", clock.now())));

        // The fixed expiry holds whatever the browser does.
        clock.advance(12h);
        EXPECT_FALSE(await(one.find("k3", clock.now())));
        EXPECT_FALSE(await(other.touch("k3", clock.now())));
    };
    {
        SCOPED_TRACE("shared");
        scenario(a->sessions, b->sessions);
    }
    {
        SCOPED_TRACE("one relay");
        scenario(local, local);
    }
}

TEST_F(SharedRelayStateTest, RateLimitsCountBothRelaysEventsAsOneRelayCountsItsOwn) {
    const RateLimits::Rule rule{3, 10min};
    InProcessRateLimits local;
    enum Op { Check, Note, Take };
    struct Step {
        Op op;
        bool onA;
        std::chrono::milliseconds advance;
        bool allowed;
        std::size_t count;
        std::chrono::milliseconds retryAfter;
    };
    const std::vector<Step> steps{
        {Note, true, 0ms, true, 1, 0ms},    {Note, false, 1min, true, 2, 0ms},
        {Check, true, 0ms, true, 2, 0ms},   {Take, false, 1min, true, 3, 0ms},
        {Take, true, 0ms, false, 3, 8min},  {Check, false, 0ms, false, 3, 8min},
        {Note, true, 1min, false, 3, 8min}, {Check, false, 7min, false, 3, 1min},
        {Take, false, 1min, true, 3, 0ms},  {Take, true, 0ms, false, 3, 1min},
        {Check, true, 20min, true, 0, 0ms},
    };
    const auto run = [&](RateLimits& limits, Op op) {
        switch (op) {
        case Check:
            return await(limits.check("address:10.0.0.1", rule, clock.now()));
        case Note:
            return await(limits.note("address:10.0.0.1", rule, clock.now()));
        case Take:
            break;
        }
        return await(limits.take("address:10.0.0.1", rule, clock.now()));
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        const Step& step = steps[i];
        clock.advance(step.advance);
        const RateLimits::Answer shared = run(step.onA ? a->limits : b->limits, step.op);
        const RateLimits::Answer alone = run(local, step.op);
        for (const RateLimits::Answer& answer : {shared, alone}) {
            EXPECT_EQ(answer.allowed, step.allowed);
            EXPECT_EQ(answer.count, step.count);
            EXPECT_EQ(answer.retryAfter, step.retryAfter);
        }
    }
}

TEST_F(SharedRelayStateTest, RelaysRacingForTheLastAllowedEventNeverBothGetIt) {
    constexpr int tries = 20;
    std::vector<QCoro::Task<RateLimits::Answer>> racing;
    for (int i = 0; i < tries; ++i) {
        // Tasks start at once; each relay's run on its own connection, side by side.
        racing.push_back((i % 2 == 0 ? a : b)->limits.take("pace:owner", {1, 3s}, clock.now()));
    }
    int granted = 0;
    for (QCoro::Task<RateLimits::Answer>& task : racing) {
        granted += await(std::move(task)).allowed ? 1 : 0;
    }
    EXPECT_EQ(granted, 1);
}

TEST_F(SharedRelayStateTest, SignInsUnderWayCountOnBothRelaysUntilFinishedOrExpired) {
    const RateLimits::Rule rule{3, 15min};
    const std::string key = "address:10.0.0.1";
    InProcessRateLimits local;
    enum Op { Start, Finish, Note };
    struct Step {
        Op op;
        bool onA;
        std::string id;
        std::chrono::milliseconds advance;
        bool allowed; // for a start
        std::chrono::milliseconds retryAfter;
    };
    const std::vector<Step> steps{
        {Start, true, "c1", 0ms, true, 0ms},
        {Start, false, "c2", 0ms, true, 0ms},
        {Note, true, "", 0ms, true, 0ms}, // a failure noted while two are checked
        {Start, false, "c3", 0ms, false, RateLimits::checkRetry},
        {Finish, true, "c1", 0ms, true, 0ms}, // finished on the relay that did not start it
        {Start, true, "c4", 0ms, true, 0ms},
        {Start, false, "c5", 0ms, false, RateLimits::checkRetry},
        // The relay holding c2 and c4 died: they stop counting at their time limit.
        {Start, false, "c6", 59s, false, RateLimits::checkRetry},
        {Start, false, "c7", 1s, true, 0ms},
        {Note, true, "", 0ms, true, 0ms},
        {Note, true, "", 0ms, true, 0ms},
        {Finish, false, "c7", 0ms, true, 0ms},
        {Start, true, "c8", 0ms, false, 15min - 60s},
    };
    const auto run = [&](RateLimits& limits, const Step& step) {
        switch (step.op) {
        case Start:
            break;
        case Finish:
            await(limits.finish(key, step.id));
            return RateLimits::Answer{};
        case Note:
            await(limits.note(key, rule, clock.now()));
            return RateLimits::Answer{};
        }
        return await(limits.start(key, step.id, rule, clock.now(), clock.now() + 60s));
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        const Step& step = steps[i];
        clock.advance(step.advance);
        const RateLimits::Answer shared = run(step.onA ? a->limits : b->limits, step);
        const RateLimits::Answer alone = run(local, step);
        for (const RateLimits::Answer& answer : {shared, alone}) {
            EXPECT_EQ(answer.allowed, step.allowed);
            EXPECT_EQ(answer.retryAfter, step.retryAfter);
        }
    }
}

TEST_F(SharedRelayStateTest, WrongPasswordsFromOneAddressSpreadOverTwoRelaysStayWithinTheLimit) {
    const auto opener = [this] {
        return std::make_unique<PostgresRelayStore>(address);
    };
    RelayStoreThread storeA(opener);
    RelayStoreThread storeB(opener);
    RelayPasswords passwordsA;
    RelayPasswords passwordsB;
    RelayAccounts first(storeA, passwordsA, clock, a->sessions, a->limits);
    await(first.setUp(first.setupToken(), "owner", "correct horse battery"));
    RelayAccounts second(storeB, passwordsB, clock, b->sessions, b->limits);

    std::vector<QCoro::Task<RelayAccounts::Session>> attempts;
    for (int i = 0; i < 12; ++i) {
        attempts.push_back((i % 2 == 0 ? first : second).signIn("owner", "wrong", "10.0.0.1"));
    }
    std::map<std::string, int> codes;
    for (QCoro::Task<RelayAccounts::Session>& attempt : attempts) {
        try {
            await(std::move(attempt));
            ++codes["signed in"];
        } catch (const ContractError& error) {
            ++codes[error.code()];
        }
    }
    EXPECT_EQ(codes[std::string("sign_in_failed")], RelayAccounts::failuresAllowed);
    EXPECT_EQ(codes[std::string("rate_limited")], 12 - RelayAccounts::failuresAllowed);
    // Nothing stays under way once they are known: the owner, from elsewhere, still signs in.
    EXPECT_FALSE(await(second.signIn("owner", "correct horse battery", "10.0.0.2")).token.empty());
}

TEST_F(SharedRelayStateTest, ADeviceIsHeldUnderItsRelaysLeaseAndTakenOverByAClaimElsewhere) {
    await(a->presence.claim("device-1"));
    EXPECT_EQ(await(b->presence.holder("device-1")), "relaya");
    EXPECT_EQ(await(b->presence.holder("device-2")), std::nullopt);

    // The device reconnected to B: A learns it once, and A's late release changes nothing.
    await(b->presence.claim("device-1"));
    EXPECT_EQ(await(a->presence.holder("device-1")), "relayb");
    EXPECT_EQ(await(a->presence.renew()), std::vector<std::string>{"device-1"});
    EXPECT_TRUE(await(a->presence.renew()).empty());
    await(a->presence.release("device-1"));
    EXPECT_EQ(await(a->presence.holder("device-1")), "relayb");

    // B stops renewing (it died): its devices are held by nobody once its lease runs out.
    clock.advance(DevicePresence::leaseTime - 1s);
    await(a->presence.renew());
    EXPECT_EQ(await(a->presence.holder("device-1")), "relayb");
    clock.advance(1s);
    EXPECT_EQ(await(a->presence.holder("device-1")), std::nullopt);
    await(a->presence.claim("device-1"));
    EXPECT_EQ(await(b->presence.holder("device-1")), "relaya");

    await(a->presence.leave());
    EXPECT_EQ(await(b->presence.holder("device-1")), std::nullopt);

    // Long-dead relays' rows go at a later renewal.
    clock.advance(PostgresDevicePresence::deadKept + 10min);
    await(a->presence.renew());
    EXPECT_EQ(server->run(database, "SELECT count(*) FROM relays"), "1");
}

TEST_F(SharedRelayStateTest, OfTwoRacingClaimsTheLoserAlwaysLearnsIt) {
    constexpr int devices = 20;
    std::vector<QCoro::Task<void>> racing;
    for (int i = 0; i < devices; ++i) {
        const std::string id = "device-" + std::to_string(i);
        racing.push_back(a->presence.claim(id));
        racing.push_back(b->presence.claim(id));
    }
    for (QCoro::Task<void>& task : racing) {
        await(std::move(task));
    }
    std::vector<std::string> lostByA = await(a->presence.renew());
    std::vector<std::string> lostByB = await(b->presence.renew());
    for (int i = 0; i < devices; ++i) {
        SCOPED_TRACE(i);
        const std::string id = "device-" + std::to_string(i);
        const std::optional<std::string> holder = await(a->presence.holder(id));
        ASSERT_TRUE(holder);
        const std::vector<std::string>& loser = *holder == "relaya" ? lostByB : lostByA;
        EXPECT_NE(std::find(loser.begin(), loser.end(), id), loser.end());
    }
    EXPECT_EQ(lostByA.size() + lostByB.size(), static_cast<std::size_t>(devices));
}

TEST_F(SharedRelayStateTest, ACommandReachesItsDevicesRelayOnceAndItsResultComesBack) {
    a->listen();
    b->listen();
    await(a->presence.claim("device-1"));
    const std::string large(20000, 'x'); // past a notice's limit: read from the row
    struct Row {
        std::string id;
        std::string body;
        std::string result;
    };
    const std::vector<Row> rows{{"c1", R"({"action":"get_state"})", R"({"ok":true})"},
                                {"c2", large, large + "!"},
                                {"c3", "", ""}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.id);
        const std::size_t before = a->commands.size();
        EXPECT_EQ(await(b->bus.send({row.id, "device-1", row.body})), CommandBus::Sent::Queued);
        EXPECT_EQ(await(b->bus.send({row.id, "device-1", "again"})), CommandBus::Sent::Duplicate);
        ASSERT_TRUE(until([&] { return a->commands.size() > before; }));
        EXPECT_EQ(a->commands.back().id, row.id);
        EXPECT_EQ(a->commands.back().deviceId, "device-1");
        EXPECT_EQ(a->commands.back().body, row.body);

        EXPECT_TRUE(await(a->bus.answer(row.id, row.result)));
        EXPECT_FALSE(await(a->bus.answer(row.id, "twice")));
        ASSERT_TRUE(until([&] { return !b->results.empty(); }));
        EXPECT_EQ(b->results.back().commandId, row.id);
        EXPECT_EQ(b->results.back().outcome, CommandBus::Outcome::Answered);
        EXPECT_EQ(b->results.back().body, row.result);
        b->results.clear();
    }
    EXPECT_EQ(await(b->bus.send({"c4", "device-2", "{}"})), CommandBus::Sent::NoHolder);
    // Nothing more arrives later: every command was handed over once.
    QCoreApplication::processEvents();
    await(a->bus.sweep());
    EXPECT_EQ(a->commands.size(), rows.size());
    EXPECT_TRUE(a->failures.empty()) << a->failures.front();
    EXPECT_TRUE(b->failures.empty()) << b->failures.front();
}

TEST_F(SharedRelayStateTest, ANoticeWithoutItsRowHandsNothingOverAndBadValuesAreRefused) {
    a->listen();
    b->listen();
    await(a->presence.claim("device-1"));
    ASSERT_TRUE(until([&] { return listening("relaya") && listening("relayb"); }));
    // Anyone who may NOTIFY on the database: only rows count.
    for (const char* forged : {"junk", "c", "c\\n", "c\\nnone", "c\\nnone\\ndevice-1\\n{}",
                               "c\\nnone\\nno-body", "r\\nnone\\nforged"}) {
        server->run(database, std::string("SELECT pg_notify('velto_bus_relaya', E'") + forged +
                                  "'), pg_notify('velto_bus_relayb', E'" + forged + "')");
    }
    ASSERT_EQ(await(b->bus.send({"c1", "device-1", "{}"})), CommandBus::Sent::Queued);
    ASSERT_TRUE(until([&] { return !a->commands.empty(); }));
    QCoreApplication::processEvents();
    await(b->bus.sweep()); // after B's reads of the forged results, on the same connection
    EXPECT_EQ(a->commands.size(), 1u);
    EXPECT_TRUE(b->results.empty());

    const auto refusal = [](auto task) -> std::string {
        try {
            await(std::move(task));
            return "taken";
        } catch (const ContractError& error) {
            return error.code();
        } catch (const RelayStoreError& error) {
            return error.what();
        }
    };
    EXPECT_EQ(refusal(b->bus.send({"c\n2", "device-1", "{}"})), "invalid_request");
    EXPECT_EQ(refusal(b->bus.send({"c2", "", "{}"})), "invalid_request");
    EXPECT_EQ(refusal(b->bus.send({"c2", "device-1", std::string("a\0b", 3)})),
              "relay database: a value holds a NUL character");
    EXPECT_EQ(refusal(a->sessions.end(std::string("k\0", 2))),
              "relay database: a value holds a NUL character");
    EXPECT_TRUE(a->failures.empty()) << a->failures.front();
}

TEST_F(SharedRelayStateTest, AHolderThatDiesMidCommandEndsItAsLostAndItIsNeverHandedAgain) {
    a->listen();
    b->listen();
    await(a->presence.claim("device-1"));
    ASSERT_EQ(await(b->bus.send({"c1", "device-1", "{}"})), CommandBus::Sent::Queued);
    ASSERT_TRUE(until([&] { return a->commands.size() == 1; }));
    a.reset(); // killed: its connections close and its lease is no longer renewed

    clock.advance(DevicePresence::leaseTime - 1s);
    await(b->bus.sweep());
    EXPECT_TRUE(b->results.empty()) << "lost before the holder's lease ran out";
    clock.advance(1s);
    await(b->bus.sweep());
    ASSERT_EQ(b->results.size(), 1u);
    EXPECT_EQ(b->results[0].commandId, "c1");
    EXPECT_EQ(b->results[0].outcome, CommandBus::Outcome::RelayLost);

    // The same relay back (it was only cut off): it reads what it missed, which is not this
    // command, and its late answer reaches nobody.
    a = std::make_unique<Relay>(address, clock, "relaya");
    a->listen();
    await(a->presence.claim("device-1"));
    ASSERT_EQ(await(b->bus.send({"c2", "device-1", "{}"})), CommandBus::Sent::Queued);
    ASSERT_TRUE(until([&] { return !a->commands.empty(); }));
    EXPECT_EQ(a->commands.size(), 1u);
    EXPECT_EQ(a->commands[0].id, "c2");
    EXPECT_FALSE(await(a->bus.answer("c1", "late")));
    await(b->bus.sweep());
    EXPECT_EQ(b->results.size(), 1u);
}

TEST_F(SharedRelayStateTest, ADeadSendersOpenCommandsEndAsLostOnceItsLeaseRanOutAndOnlyThose) {
    PostgresRelayStore audits(address);
    a->listen();
    b->listen();
    await(a->presence.renew());
    await(b->presence.claim("device-1"));
    // c1 taken by the holder, c2 answered after its sender died, c3 the live holder's own.
    for (const auto& [id, sender] :
         {std::pair<std::string, Relay*>{"c1", a.get()}, {"c2", a.get()}, {"c3", b.get()}}) {
        audits.addAudit({id, 1, "device-1", "get_state", "", clock.now(), {}});
        ASSERT_EQ(await(sender->bus.send({id, "device-1", "{}"})), CommandBus::Sent::Queued);
    }
    ASSERT_TRUE(until([&] { return b->commands.size() == 3; }));
    a.reset(); // killed while its commands were open
    EXPECT_TRUE(await(b->bus.answer("c2", "{}")));
    const auto outcomes = [&] {
        std::map<std::string, std::string> out;
        for (const RelayStore::Audit& row : audits.auditOf("device-1", 10)) {
            out[row.commandId] = row.finishedAt ? row.outcome : "open";
        }
        return out;
    };
    using Outcomes = std::map<std::string, std::string>;

    clock.advance(DevicePresence::leaseTime - 1s);
    await(b->presence.renew());
    await(b->bus.sweep());
    EXPECT_EQ(outcomes(), (Outcomes{{"c1", "open"}, {"c2", "open"}, {"c3", "open"}}))
        << "ended while its sender's lease lasted";
    clock.advance(1s + 1ms);
    await(b->presence.renew());
    await(b->bus.sweep());
    EXPECT_EQ(outcomes(), (Outcomes{{"c1", "relay_lost"}, {"c2", "relay_lost"}, {"c3", "open"}}));
    EXPECT_FALSE(await(b->bus.answer("c1", "{}"))) << "answered after it was ended";
    EXPECT_TRUE(await(b->bus.answer("c3", "{}")));
}

TEST_F(SharedRelayStateTest, EventsReachTheOtherRelaysAndADevicesLastReportIsKept) {
    a->listen();
    b->listen();
    await(a->presence.renew());
    await(b->presence.renew());
    ASSERT_TRUE(until([&] { return listening("relaya") && listening("relayb"); }));
    const std::string large = R"({"capabilities":")" + std::string(9000, 'z') + R"("})";
    const std::vector<CommandBus::Event> rows{
        {7, "device", "device-1", R"({"online":true})"},
        {7, "device", "device-1", large}, // past a notice's limit: read from the row
        {7, "devices", "", R"({"reason":"renamed"})"},
    };
    // Anyone who may NOTIFY on the database: a notice that names no account is dropped.
    server->run(database, "SELECT pg_notify('velto_bus_relayb', E'e\\nx\\ndevice\\nd\\n{}')");
    for (const CommandBus::Event& row : rows) {
        SCOPED_TRACE(row.type);
        b->events.clear();
        await(a->bus.publish(row));
        ASSERT_TRUE(until([&] { return !b->events.empty(); }));
        EXPECT_EQ(b->events.front().accountId, row.accountId);
        EXPECT_EQ(b->events.front().type, row.type);
        EXPECT_EQ(b->events.front().deviceId, row.deviceId);
        EXPECT_EQ(b->events.front().data, row.data);
    }
    EXPECT_EQ(await(b->bus.lastReport("device-1")), std::optional<std::string>(large));
    EXPECT_EQ(await(b->bus.lastReport("device-2")), std::nullopt);
    QCoreApplication::processEvents();
    EXPECT_TRUE(a->events.empty()) << "a relay told of its own event";
    EXPECT_EQ(b->events.size(), 1u);
}

TEST_F(SharedRelayStateTest, NothingIsLostWhileAListeningConnectionIsAway) {
    a->listen();
    b->listen();
    ASSERT_TRUE(until([&] { return listening("relaya") && listening("relayb"); }));
    await(a->presence.claim("device-1"));
    // The workers connect on their first call: made here, before connections are refused.
    await(a->bus.sweep());
    await(b->bus.sweep());

    // A's listener goes and cannot come back while B sends (the workers' connections stay).
    allowConnections(false);
    ASSERT_EQ(dropListener("relaya"), 1);
    ASSERT_TRUE(until([&] { return !listening("relaya"); }));
    const std::string large(9000, 'y');
    ASSERT_EQ(await(b->bus.send({"c1", "device-1", "small"})), CommandBus::Sent::Queued);
    ASSERT_EQ(await(b->bus.send({"c2", "device-1", large})), CommandBus::Sent::Queued);
    allowConnections(true);
    ASSERT_TRUE(until([&] { return a->commands.size() == 2; }));
    EXPECT_EQ(a->commands[0].body, "small");
    EXPECT_EQ(a->commands[1].body, large);

    // The same for a result on its way back to B.
    allowConnections(false);
    ASSERT_EQ(dropListener("relayb"), 1);
    ASSERT_TRUE(until([&] { return !listening("relayb"); }));
    EXPECT_TRUE(await(a->bus.answer("c1", "done")));
    allowConnections(true);
    ASSERT_TRUE(until([&] { return b->results.size() == 1; }));
    EXPECT_EQ(b->results[0].body, "done");
    QCoreApplication::processEvents();
    EXPECT_EQ(a->commands.size(), 2u);
}

TEST(InProcessCommandBusTest, ACommandComesBackOnTheNextTurnOnceAndSoDoesItsAnswer) {
    VirtualClock clock;
    InProcessDevicePresence presence;
    InProcessCommandBus bus(presence, clock);
    std::vector<CommandBus::Command> commands;
    std::vector<CommandBus::Result> results;
    bus.listen({[&](CommandBus::Command c) { commands.push_back(std::move(c)); },
                [&](CommandBus::Result r) { results.push_back(std::move(r)); },
                {},
                {}});
    await(presence.claim("device-1"));
    EXPECT_EQ(await(bus.send({"c1", "device-2", "{}"})), CommandBus::Sent::NoHolder);
    EXPECT_EQ(await(bus.send({"c1", "device-1", "{}"})), CommandBus::Sent::Queued);
    EXPECT_EQ(await(bus.send({"c1", "device-1", "{}"})), CommandBus::Sent::Duplicate);
    EXPECT_TRUE(commands.empty()) << "handed over inside the sender's call";
    QCoreApplication::processEvents();
    ASSERT_EQ(commands.size(), 1u);

    EXPECT_TRUE(await(bus.answer("c1", "done")));
    EXPECT_FALSE(await(bus.answer("c1", "again")));
    EXPECT_FALSE(await(bus.answer("unknown", "")));
    QCoreApplication::processEvents();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].body, "done");

    // The id is refused while it is remembered, and taken again once forgotten.
    clock.advance(InProcessCommandBus::keepTime - 1s);
    await(bus.sweep());
    EXPECT_EQ(await(bus.send({"c1", "device-1", "{}"})), CommandBus::Sent::Duplicate);
    clock.advance(1s);
    await(bus.sweep());
    EXPECT_EQ(await(bus.send({"c1", "device-1", "{}"})), CommandBus::Sent::Queued);
}

// Not a check: the figures for the bus's round trip over the server's Unix socket (B sends, A
// receives and answers, B receives), against one statement's round trip from the main thread.
TEST_F(SharedRelayStateTest, BusRoundTripTimes) {
    a->listen();
    b->listen();
    await(a->presence.claim("device-1"));
    ASSERT_TRUE(until([&] { return listening("relaya") && listening("relayb"); }));
    const auto percentiles = [](std::vector<double> micros) {
        std::sort(micros.begin(), micros.end());
        return "p50 " + std::to_string(micros[micros.size() / 2]) + " us, p95 " +
               std::to_string(micros[micros.size() * 95 / 100]) + " us";
    };
    std::vector<double> statement;
    std::vector<double> bus;
    for (int i = 0; i < 200; ++i) {
        auto start = std::chrono::steady_clock::now();
        await(b->presence.holder("device-1"));
        statement.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());

        const std::string id = "c" + std::to_string(i);
        start = std::chrono::steady_clock::now();
        await(b->bus.send({id, "device-1", R"({"action":"get_state"})"}));
        ASSERT_TRUE(until([&] { return a->commands.size() == static_cast<std::size_t>(i + 1); }));
        await(a->bus.answer(id, R"({"ok":true})"));
        ASSERT_TRUE(until([&] { return b->results.size() == static_cast<std::size_t>(i + 1); }));
        bus.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::cout << "one statement: " << percentiles(statement)
              << "\nbus round trip: " << percentiles(bus) << "\n";
}

} // namespace
} // namespace corvane::test
