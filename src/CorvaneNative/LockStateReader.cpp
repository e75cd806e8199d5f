#include "CorvaneNative/LockStateReader.h"

#include <cmath>
#include <limits>

namespace corvane {

namespace {

constexpr const char* sessionUserIDKey = "kCGSSessionUserIDKey";
constexpr const char* onConsoleKey = "kCGSSessionOnConsoleKey";
constexpr const char* screenIsLockedKey = "CGSSessionScreenIsLocked";

// A user id as the registry and the window server store it: a 32-bit number, signed or unsigned,
// read as unsigned. Anything that is not such a number (a fraction, a value beyond 32 bits, a
// boolean, text) names no user, rather than being truncated onto someone else's id.
std::optional<std::uint32_t> userID(const PlatformValue* value) {
    if (value == nullptr) {
        return std::nullopt;
    }
    std::int64_t whole = 0;
    if (const auto integer = value->integer()) {
        whole = *integer;
    } else if (const auto real = value->real()) {
        // Only exactly integral reals within 32 bits; the range check comes first so the
        // conversion below is always defined.
        if (!(*real >= static_cast<double>(std::numeric_limits<std::int32_t>::min()) &&
              *real <= static_cast<double>(std::numeric_limits<std::uint32_t>::max())) ||
            std::trunc(*real) != *real) {
            return std::nullopt;
        }
        whole = static_cast<std::int64_t>(*real);
    } else {
        return std::nullopt;
    }
    if (whole < std::numeric_limits<std::int32_t>::min() ||
        whole > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(whole);
}

bool isSameUser(const PlatformValue* value, std::uint32_t uid) {
    const auto id = userID(value);
    return id && *id == uid;
}

} // namespace

namespace LockStateReader {

std::optional<bool> explicitBoolean(const PlatformValue* value) {
    return value == nullptr ? std::nullopt : value->boolean();
}

ScreenState evaluate(const std::optional<ConsoleSession::RootProperties>& root,
                     const std::optional<PlatformValue>& session, std::uint32_t uid) {
    // 1. No session, or one without members (a session that is not a dictionary is no better).
    const PlatformValue::Dictionary* sessionMembers = session ? session->dictionary() : nullptr;
    if (sessionMembers == nullptr || sessionMembers->empty()) {
        return ScreenState::Unknown;
    }
    // 2. The session must be the agent's own user.
    if (!isSameUser(session->find(sessionUserIDKey), uid)) {
        return ScreenState::Unknown;
    }
    // 3. The session's on-console flag must be a genuine boolean, and the registry must have
    //    given something.
    const auto sessionOnConsole = explicitBoolean(session->find(onConsoleKey));
    if (!sessionOnConsole) {
        return ScreenState::Unknown;
    }
    if (!root || (!root->consoleUsers && !root->consoleLocked)) {
        return ScreenState::Unknown;
    }
    // 4. The console records must be a list of dictionaries.
    const PlatformValue::Array* records =
        root->consoleUsers ? root->consoleUsers->array() : nullptr;
    if (records == nullptr) {
        return ScreenState::Unknown;
    }
    for (const PlatformValue& record : *records) {
        if (record.dictionary() == nullptr) {
            return ScreenState::Unknown;
        }
    }
    // 5. A session that is not on the console is switched away from; its records do not matter.
    if (!*sessionOnConsole) {
        return ScreenState::Inactive;
    }
    // 6.-7. Every record states whether it is on the console; exactly one may be.
    const PlatformValue* onConsoleRecord = nullptr;
    int onConsoleCount = 0;
    for (const PlatformValue& record : *records) {
        const auto onConsole = explicitBoolean(record.find(onConsoleKey));
        if (!onConsole) {
            return ScreenState::Unknown;
        }
        if (*onConsole) {
            onConsoleRecord = &record;
            ++onConsoleCount;
        }
    }
    if (onConsoleCount != 1) {
        return ScreenState::Unknown;
    }
    // 8. The console user must be the agent's user.
    if (!isSameUser(onConsoleRecord->find(sessionUserIDKey), uid)) {
        return ScreenState::Unknown;
    }
    // 9. The registry's locked flag must be a genuine boolean.
    const PlatformValue* consoleLockedValue = root->consoleLocked ? &*root->consoleLocked : nullptr;
    const auto consoleLocked = explicitBoolean(consoleLockedValue);
    if (!consoleLocked) {
        return ScreenState::Unknown;
    }
    // 10.-11. The record's own flag, when present, must agree with the registry.
    if (const PlatformValue* recordLocked = onConsoleRecord->find(screenIsLockedKey)) {
        const auto screenIsLocked = explicitBoolean(recordLocked);
        if (!screenIsLocked || *screenIsLocked != *consoleLocked) {
            return ScreenState::Unknown;
        }
    }
    return *consoleLocked ? ScreenState::Locked : ScreenState::Unlocked;
}

ScreenState read(const ConsoleSession& console) {
    std::optional<ConsoleSession::RootProperties> root = console.rootProperties();
    if (!root || !root->consoleUsers || !root->consoleLocked) {
        return ScreenState::Unknown;
    }
    std::optional<PlatformValue> session = console.sessionDictionary();
    if (session && session->dictionary() == nullptr) {
        session.reset();
    }
    return evaluate(root, session, console.userID());
}

} // namespace LockStateReader

} // namespace corvane
