#include "core/CommandGate.h"

#include "core/ContractError.h"

#include <gtest/gtest.h>

using namespace std::chrono;
using corvane::JSON;
namespace CommandGate = corvane::CommandGate;

namespace {

const corvane::WireTime::Instant kNow = sys_days{year{2026} / 1 / 2} + hours{3} + minutes{4};

JSON command(JSON expiresAt) {
    return JSON(JSON::Object{{"command_id", JSON("c-1")},
                             {"action", JSON("mute")},
                             {"expires_at", std::move(expiresAt)}});
}

// The gate's verdict as text: "pass" or the thrown code.
std::string verdict(const JSON& cmd, corvane::WireTime::Instant now = kNow) {
    try {
        CommandGate::checkDeadline(cmd, now);
        return "pass";
    } catch (const corvane::ContractError& e) {
        return e.code();
    }
}

std::string lockedVerdict(std::string_view action, std::optional<bool> locked) {
    try {
        const auto result = CommandGate::lockedResult(action, locked);
        return result ? result->data() : "runs";
    } catch (const corvane::ContractError& e) {
        return e.code();
    }
}

} // namespace

TEST(CommandGate, DeadlineBoundaries) {
    // kNow is 2026-01-02T03:04:00Z.
    struct Row {
        const char* expiresAt;
        const char* expected;
    };
    const Row rows[] = {
        {"2026-01-02T03:04:00Z", "pass"},
        {"2026-01-02T03:04:20Z", "pass"},
        {"2026-01-02T03:04:20.001Z", "invalid_deadline"},
        {"2026-01-02T03:03:55Z", "pass"},
        {"2026-01-02T03:03:54.999Z", "command_expired"},
        // Far beyond what an instant holds: refused, never wrapped into a near deadline.
        {"9999-12-31T23:59:59Z", "invalid_deadline"},
        {"2611-01-01T00:00:10Z", "invalid_deadline"},
        // Offsets are applied before comparing.
        {"2026-01-02T05:04:20+02:00", "pass"},
        {"2026-01-02T05:04:21+02:00", "invalid_deadline"},
        {"2026-01-01T22:33:54-04:30", "command_expired"},
        {"2026-01-02T03:04:20+00:01", "command_expired"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(verdict(command(JSON(row.expiresAt))), row.expected) << row.expiresAt;
    }
}

TEST(CommandGate, DeadlineComparesAtTheClocksFullPrecision) {
    const JSON deadline = command(JSON("2026-01-02T03:04:20.000Z"));
    // A clock reading a nanosecond early makes the deadline 20 s plus 1 ns ahead.
    EXPECT_EQ(verdict(deadline, kNow - nanoseconds{1}), "invalid_deadline");
    EXPECT_EQ(verdict(deadline, kNow + nanoseconds{1}), "pass");
    // 5 s plus a microsecond late, although both read the same whole second.
    EXPECT_EQ(verdict(deadline, kNow + seconds{25}), "pass");
    EXPECT_EQ(verdict(deadline, kNow + seconds{25} + microseconds{1}), "command_expired");
}

TEST(CommandGate, UnreadableDeadlinesAreInvalid) {
    const JSON unreadable[] = {
        JSON(1767323060.0), // a number of seconds, not wire text
        JSON(nullptr),
        JSON(JSON::Object{{"at", JSON("2026-01-02T03:04:10Z")}}),
        JSON("2026-01-02T03:04:10"), // the reader's other refusals are its own tests' business
        JSON(""),
    };
    for (const auto& value : unreadable) {
        EXPECT_EQ(verdict(command(value)), "invalid_deadline") << value.data();
    }
    EXPECT_EQ(verdict(JSON(JSON::Object{{"command_id", JSON("c-1")}})), "invalid_deadline");
    EXPECT_EQ(verdict(JSON("2026-01-02T03:04:10Z")), "invalid_deadline");
}

TEST(CommandGate, LockedResultForEachLockState) {
    struct Row {
        const char* action;
        std::optional<bool> locked;
        std::string expected;
    };
    const Row rows[] = {
        {"get_state", std::nullopt, "lock_state_unknown"},
        {"get_state", false, "runs"},
        {"get_state", true, R"({"screen_locked":true})"},
        {"lock_screen", true, R"({"already_locked":true})"},
        {"open_app", true, "device_locked"},
        {"Lock_Screen", true, "device_locked"},
        {"", true, "device_locked"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(lockedVerdict(row.action, row.locked), row.expected)
            << row.action << " locked=" << (row.locked ? (*row.locked ? "true" : "false") : "?");
    }
}
