#include "CorvaneNative/LockStateReader.h"

#include "support/FakePlatform.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

using Dict = PlatformValue::Dictionary;
using Array = PlatformValue::Array;
using Root = ConsoleSession::RootProperties;

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

TEST(LockStateReader, EvaluateFollowsTheDecisionOrder) {
    using enum ScreenState;
    const Case cases[] = {
        {"unlocked", root({me}, false), session(true), Unlocked},
        {"locked from the registry alone", root({me}, true), session(true), Locked},
        {"record and registry both locked", root({record(true, 501, true)}, true), session(true),
         Locked},
        {"record and registry both unlocked", root({record(true, 501, false)}, false),
         session(true), Unlocked},
        {"record locked, registry not", root({record(true, 501, true)}, false), session(true),
         Unknown},
        {"record's lock flag as a number", root({record(true, 501, 1)}, true), session(true),
         Unknown},
        // 1. session
        {"no session", root({me}, false), std::nullopt, Unknown},
        {"empty session", root({me}, false), Dict{}, Unknown},
        {"session not a dictionary", root({me}, false), PlatformValue(true), Unknown},
        // 2. session user
        {"session of another user", root({me}, false), session(true, 502), Unknown},
        {"session user missing", root({me}, false), Dict{{"kCGSSessionOnConsoleKey", true}},
         Unknown},
        {"session user as a boolean", root({me}, false), session(true, true), Unknown},
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
        {"records not a list, session off console", Root{PlatformValue(Dict{}), false},
         session(false), Unknown},
        {"a record not a dictionary, session off console", root({me, PlatformValue(3)}, false),
         session(false), Unknown},
        // 5. off console: records not examined further
        {"off console", root({me}, false), session(false), Inactive},
        {"off console with a record lacking its flag", root({record(std::nullopt, 501)}, false),
         session(false), Inactive},
        {"off console with the locked flag unreadable", Root{PlatformValue(Array{me}), {}},
         session(false), Inactive},
        // 6. every record states its on-console flag as a boolean
        {"record lacking its flag", root({me, record(std::nullopt, 502)}, false), session(true),
         Unknown},
        {"record flag as the number 1", root({record(1, 501)}, false), session(true), Unknown},
        // 7. exactly one record on the console
        {"two console users", root({me, record(true, 502)}, false), session(true), Unknown},
        {"nobody on the console", root({record(false, 501)}, false), session(true), Unknown},
        {"no records", root({}, false), session(true), Unknown},
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
        EXPECT_EQ(LockStateReader::evaluate(c.root, c.session, uid), c.expected) << c.name;
    }
}

TEST(LockStateReader, SignedRegistryUserIDsAreReadAsUnsigned) {
    // A registry that stores the id as a signed 32-bit number still names the same user.
    const std::uint32_t highUID = 4294967294u;
    EXPECT_EQ(
        LockStateReader::evaluate(root({record(true, -2)}, false), session(true, -2), highUID),
        ScreenState::Unlocked);
    EXPECT_EQ(LockStateReader::evaluate(root({record(true, -2)}, false), session(true, -2), 2),
              ScreenState::Unknown);
}

TEST(LockStateReader, ReadRequiresBothRegistryPropertiesAndADictionarySession) {
    test::FakeConsole console;
    console.root = root({me}, true);
    console.session = session(true);
    EXPECT_EQ(LockStateReader::read(console), ScreenState::Locked);

    console.uid = 502;
    EXPECT_EQ(LockStateReader::read(console), ScreenState::Unknown);
    console.uid = 501;

    // Off the console, evaluate alone would say inactive; read refuses a half-read registry.
    console.session = session(false);
    console.root = Root{PlatformValue(Array{me}), std::nullopt};
    EXPECT_EQ(LockStateReader::read(console), ScreenState::Unknown);
    console.root = Root{std::nullopt, PlatformValue(false)};
    EXPECT_EQ(LockStateReader::read(console), ScreenState::Unknown);
    console.root.reset();
    EXPECT_EQ(LockStateReader::read(console), ScreenState::Unknown);

    console.root = root({me}, false);
    console.session = PlatformValue(Array{});
    EXPECT_EQ(LockStateReader::read(console), ScreenState::Unknown);
    console.session.reset();
    EXPECT_EQ(LockStateReader::read(console), ScreenState::Unknown);
}

TEST(LockStateReader, ExplicitBooleanIsAGenuineBooleanOnly) {
    const PlatformValue yes(true), no(false), one(1), zero(0), real(1.0), text("true");
    EXPECT_EQ(LockStateReader::explicitBoolean(&yes), true);
    EXPECT_EQ(LockStateReader::explicitBoolean(&no), false);
    for (const PlatformValue* v : {&one, &zero, &real, &text}) {
        EXPECT_FALSE(LockStateReader::explicitBoolean(v).has_value());
    }
    EXPECT_FALSE(LockStateReader::explicitBoolean(nullptr).has_value());
}

TEST(ScreenState, RawValuesAndLockedFlag) {
    struct Row {
        ScreenState state;
        const char* raw;
        std::optional<bool> locked;
    };
    const Row rows[] = {{ScreenState::Unlocked, "unlocked", false},
                        {ScreenState::Locked, "locked", true},
                        {ScreenState::Inactive, "inactive", std::nullopt},
                        {ScreenState::Unknown, "unknown", std::nullopt}};
    for (const Row& row : rows) {
        EXPECT_EQ(rawValue(row.state), row.raw);
        EXPECT_EQ(screenStateFromRaw(row.raw), row.state);
        EXPECT_EQ(lockedValue(row.state), row.locked) << row.raw;
    }
    for (const char* other : {"Locked", "UNKNOWN", "", "unlocked ", "lock"}) {
        EXPECT_FALSE(screenStateFromRaw(other).has_value()) << other;
    }
}

} // namespace
} // namespace corvane
