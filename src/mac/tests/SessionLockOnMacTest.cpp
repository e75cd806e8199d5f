#include "mac/SessionLockOnMac.h"

#include "support/FakePlatform.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

// GCC 12 reports members of this file's tables (std::optional and std::variant inside aggregates)
// as maybe uninitialised when optimising; every row initialises them. A known false positive.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace corvane {
namespace {

using Dict = PlatformValue::Dictionary;
using Array = PlatformValue::Array;
using Root = MacConsoleSession::RootProperties;

constexpr std::uint32_t uid = 501;

Dict record(std::optional<PlatformValue> onConsole, std::optional<PlatformValue> userID,
            std::optional<PlatformValue> screenIsLocked = std::nullopt) {
    Dict d;
    if (onConsole) {
        d.emplace("kCGSSessionOnConsoleKey", *onConsole);
    }
    if (userID) {
        d.emplace("kCGSSessionUserIDKey", *userID);
    }
    if (screenIsLocked) {
        d.emplace("CGSSessionScreenIsLocked", *screenIsLocked);
    }
    return d;
}

Dict session(PlatformValue onConsole, PlatformValue userID = PlatformValue(501)) {
    return Dict{{"kCGSSessionOnConsoleKey", std::move(onConsole)},
                {"kCGSSessionUserIDKey", std::move(userID)}};
}

Root root(Array users, PlatformValue locked) {
    return Root{PlatformValue(std::move(users)), std::move(locked)};
}

const Dict me = record(true, 501);

struct Case {
    const char* name;
    std::optional<Root> root;
    std::optional<PlatformValue> session;
    ScreenState expected;
};

TEST(SessionLockOnMac, EvaluateFollowsTheDecisionOrder) {
    using enum ScreenState;
    const Case cases[] = {
        {"unlocked", root({me}, false), session(true), Unlocked},
        {"locked from the registry alone", root({me}, true), session(true), Locked},
        {"record and registry both locked", root({record(true, 501, true)}, true), session(true),
         Locked},
        {"record locked, registry not", root({record(true, 501, true)}, false), session(true),
         Unknown},
        {"record's lock flag as a number", root({record(true, 501, 1)}, true), session(true),
         Unknown},
        // 1. session
        {"no session", root({me}, false), std::nullopt, Unknown},
        {"session not a dictionary", root({me}, false), PlatformValue(true), Unknown},
        // 2. session user
        {"session of another user", root({me}, false), session(true, 502), Unknown},
        {"session user missing", root({me}, false), Dict{{"kCGSSessionOnConsoleKey", true}},
         Unknown},
        {"session user as an integral real", root({me}, false), session(true, 501.0), Unlocked},
        {"session user as a fraction", root({me}, false), session(true, 501.5), Unknown},
        {"session user beyond 32 bits does not wrap", root({me}, false),
         session(true, std::int64_t{501} + (std::int64_t{1} << 32)), Unknown},
        // 3. session on-console flag, registry present
        {"session on-console as the number 1", root({me}, false), session(1), Unknown},
        {"no registry root", std::nullopt, session(true), Unknown},
        {"registry root without either property", Root{}, session(false), Unknown},
        // 4. console records shape precedes the on-console shortcut
        {"records missing, session off console", Root{std::nullopt, PlatformValue(false)},
         session(false), Unknown},
        {"a record not a dictionary, session off console", root({me, PlatformValue(3)}, false),
         session(false), Unknown},
        // 5. off console: records not examined further
        {"off console", root({me}, false), session(false), Inactive},
        {"off console with the locked flag unreadable", Root{PlatformValue(Array{me}), {}},
         session(false), Inactive},
        // 6. every record states its on-console flag as a boolean
        {"record lacking its flag", root({me, record(std::nullopt, 502)}, false), session(true),
         Unknown},
        // 7. exactly one record on the console
        {"two console users", root({me, record(true, 502)}, false), session(true), Unknown},
        {"nobody on the console", root({record(false, 501)}, false), session(true), Unknown},
        {"one on, one off", root({record(false, 502), me}, false), session(true), Unlocked},
        // 8. console user is the agent's user
        {"console user is someone else", root({record(true, 502)}, false), session(true), Unknown},
        {"console user without id", root({record(true, std::nullopt)}, false), session(true),
         Unknown},
        // 9. registry lock flag
        {"registry lock flag as the number 0", root({me}, 0), session(true), Unknown},
        {"registry lock flag missing", Root{PlatformValue(Array{me}), {}}, session(true), Unknown},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SessionLockOnMac::evaluate(c.root, c.session, uid), c.expected) << c.name;
    }
}

TEST(SessionLockOnMac, SignedRegistryUserIDsAreReadAsUnsigned) {
    // A registry that stores the id as a signed 32-bit number still names the same user.
    const std::uint32_t highUID = 4294967294u;
    EXPECT_EQ(
        SessionLockOnMac::evaluate(root({record(true, -2)}, false), session(true, -2), highUID),
        ScreenState::Unlocked);
    EXPECT_EQ(SessionLockOnMac::evaluate(root({record(true, -2)}, false), session(true, -2), 2),
              ScreenState::Unknown);
}

TEST(SessionLockOnMac, ReadRequiresBothRegistryPropertiesAndADictionarySession) {
    test::FakeConsole console;
    console.root = root({me}, true);
    console.session = session(true);
    EXPECT_EQ(SessionLockOnMac::read(console), ScreenState::Locked);

    console.uid = 502;
    EXPECT_EQ(SessionLockOnMac::read(console), ScreenState::Unknown);
    console.uid = 501;

    // Off the console, evaluate alone would say inactive; read refuses a half-read registry.
    console.session = session(false);
    console.root = Root{PlatformValue(Array{me}), std::nullopt};
    EXPECT_EQ(SessionLockOnMac::read(console), ScreenState::Unknown);
    console.root = Root{std::nullopt, PlatformValue(false)};
    EXPECT_EQ(SessionLockOnMac::read(console), ScreenState::Unknown);
    console.root.reset();
    EXPECT_EQ(SessionLockOnMac::read(console), ScreenState::Unknown);

    console.root = root({me}, false);
    console.session = PlatformValue(Array{});
    EXPECT_EQ(SessionLockOnMac::read(console), ScreenState::Unknown);
    console.session.reset();
    EXPECT_EQ(SessionLockOnMac::read(console), ScreenState::Unknown);
}

// The adapter over the fakes, with what it announced.
class SessionLockWatch : public ::testing::Test {
protected:
    SessionLockWatch() { console.set(ScreenState::Unlocked); }

    void listen() {
        QObject::connect(&lock, &SessionLock::changed, &receiver,
                         [this](ScreenState state) { changes.push_back(state); });
        QObject::connect(&lock, &SessionLock::readFailed, &receiver,
                         [this](const QString& reason) { failures.push_back(reason); });
    }

    test::FakeConsole console;
    test::FakeInput input;
    VirtualClock clock;
    SessionLockOnMac lock{console, input, clock};
    QObject receiver;
    std::vector<ScreenState> changes;
    std::vector<QString> failures;
};

// The watch polls every 250 ms while someone listens and announces each change once; a failing
// read is reported and the next tick reads again.
TEST_F(SessionLockWatch, ChangesArriveAsSignalsOncePerChange) {
    using namespace std::chrono_literals;
    listen();
    console.set(ScreenState::Locked);
    clock.advance(249ms);
    EXPECT_TRUE(changes.empty());
    clock.advance(1ms);
    EXPECT_EQ(changes, std::vector<ScreenState>{ScreenState::Locked});
    clock.advance(1s);
    EXPECT_EQ(changes.size(), 1u);

    console.failures = 1;
    console.set(ScreenState::Inactive);
    clock.advance(250ms);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0], QStringLiteral("console registry unavailable"));
    EXPECT_EQ(changes.size(), 1u);
    clock.advance(250ms);
    EXPECT_EQ(changes, (std::vector<ScreenState>{ScreenState::Locked, ScreenState::Inactive}));

    // Nobody listening: the watch ends at its next tick and reads nothing more.
    QObject::disconnect(&lock, nullptr, &receiver, nullptr);
    clock.advance(250ms);
    EXPECT_EQ(clock.pendingSleeps(), 0u);
}

// A change first seen by an ordinary read is announced on the next turn of the event loop, never
// from inside the read, and the watch does not announce it again.
TEST_F(SessionLockWatch, AChangeSeenByAReadIsAnnouncedAfterIt) {
    using namespace std::chrono_literals;
    listen();
    console.set(ScreenState::Locked);
    EXPECT_EQ(lock.state(), ScreenState::Locked);
    EXPECT_TRUE(changes.empty());
    QCoreApplication::processEvents();
    EXPECT_EQ(changes, std::vector<ScreenState>{ScreenState::Locked});
    clock.advance(250ms);
    EXPECT_EQ(changes.size(), 1u);

    // Locked and back before the watch looked: the listener still ends on the truth.
    console.set(ScreenState::Unlocked);
    EXPECT_EQ(lock.state(), ScreenState::Unlocked);
    console.set(ScreenState::Locked);
    EXPECT_EQ(lock.state(), ScreenState::Locked);
    QCoreApplication::processEvents();
    clock.advance(250ms);
    EXPECT_EQ(changes.size(), 1u);
}

// Diagnostics read the session loosely: a boolean or exactly the numbers 0 and 1.
TEST_F(SessionLockWatch, FactsReadTheSessionLoosely) {
    using Facts = SessionLock::Facts;
    struct Row {
        const char* name;
        std::optional<PlatformValue> session;
        Facts expected;
    } const rows[] = {
        {"booleans",
         PlatformValue(Dict{{"kCGSSessionOnConsoleKey", true}, {"kCGSessionLoginDoneKey", false}}),
         Facts{true, true, false, true}},
        {"0 and 1",
         PlatformValue(Dict{{"kCGSSessionOnConsoleKey", 1}, {"kCGSessionLoginDoneKey", 0}}),
         Facts{true, true, false, true}},
        {"other numbers and text",
         PlatformValue(Dict{{"kCGSSessionOnConsoleKey", 2}, {"kCGSessionLoginDoneKey", "yes"}}),
         Facts{true, std::nullopt, std::nullopt, true}},
        {"not a dictionary", PlatformValue("session"),
         Facts{false, std::nullopt, std::nullopt, true}},
        {"no session", std::nullopt, Facts{false, std::nullopt, std::nullopt, true}},
    };
    console.legacyTool = true;
    for (const Row& row : rows) {
        console.session = row.session;
        const Facts facts = lock.facts();
        EXPECT_EQ(facts.graphicalSession, row.expected.graphicalSession) << row.name;
        EXPECT_EQ(facts.onConsole, row.expected.onConsole) << row.name;
        EXPECT_EQ(facts.loginDone, row.expected.loginDone) << row.name;
        EXPECT_EQ(facts.legacyLockToolPresent, row.expected.legacyLockToolPresent) << row.name;
    }
}

// The lock keystroke (Control-Command-Q) and its confirmation by reading, every 100 ms for up to
// 2.9 s; only "locked" confirms.
TEST_F(SessionLockWatch, LockNowPostsTheKeystrokeAndWaitsForLocked) {
    using namespace std::chrono_literals;
    using Result = SessionLock::LockResult;
    struct Row {
        const char* name;
        ScreenState afterKey;
        std::optional<std::chrono::milliseconds> locksAt;
        bool canPost;
        std::string expected;
        std::chrono::milliseconds elapsed;
    };
    const std::string locked = std::to_string(int(Result::Locked));
    const std::string notConfirmed = std::to_string(int(Result::NotConfirmed));
    const Row rows[] = {
        {"at once", ScreenState::Locked, std::nullopt, true, locked, 0ms},
        {"on the last read", ScreenState::Unlocked, 2900ms, true, locked, 2900ms},
        {"never", ScreenState::Unlocked, std::nullopt, true, notConfirmed, 2900ms},
        {"inactive", ScreenState::Inactive, std::nullopt, true, notConfirmed, 2900ms},
        {"no events", ScreenState::Locked, std::nullopt, false,
         std::to_string(int(Result::Refused)), 0ms},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        console.set(ScreenState::Unlocked);
        input.sessionKeys.clear();
        input.canCreate = row.canPost;
        input.onSessionKey = [&](const MacInputEvents::KeyStroke&) {
            console.set(row.afterKey);
        };
        const auto start = clock.monotonicNow();
        const auto elapsed = [&] {
            return clock.monotonicNow() - start;
        };
        std::optional<Result> result;
        auto probe = [](QCoro::Task<Result> task, std::optional<Result>* out) -> QCoro::Task<> {
            *out = co_await std::move(task);
        }(lock.lockNow(), &result);
        while (!result && elapsed() < 5s) {
            clock.advance(100ms);
            if (row.locksAt && elapsed() + 100ms == *row.locksAt) {
                console.set(ScreenState::Locked);
            }
        }
        ASSERT_TRUE(result);
        EXPECT_EQ(std::to_string(int(*result)), row.expected);
        EXPECT_EQ(elapsed(), row.elapsed);
        if (row.canPost) {
            ASSERT_EQ(input.sessionKeys.size(), 1u);
            EXPECT_EQ(input.sessionKeys[0].keyCode, 12);
            EXPECT_EQ(input.sessionKeys[0].flags, 0x140000u);
        }
    }
}
} // namespace
} // namespace corvane
