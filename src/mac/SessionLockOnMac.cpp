#include "mac/SessionLockOnMac.h"

#include "core/Detached.h"

#include <QMetaMethod>
#include <QTimer>

#include <cmath>
#include <exception>
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

// A genuine boolean only: the numbers 0 and 1, text and absence are no boolean.
std::optional<bool> explicitBoolean(const PlatformValue* value) {
    return value == nullptr ? std::nullopt : value->boolean();
}

// Diagnostics accept the loose form too: a genuine boolean or exactly the numbers 0 and 1.
std::optional<bool> looseBoolean(const PlatformValue* value) {
    if (value == nullptr) {
        return std::nullopt;
    }
    if (const auto b = value->boolean()) {
        return b;
    }
    if (const auto n = value->number()) {
        if (*n == 0) {
            return false;
        }
        if (*n == 1) {
            return true;
        }
    }
    return std::nullopt;
}

// The current session when it is a dictionary.
std::optional<PlatformValue> sessionDictionary(const MacConsoleSession& console) {
    std::optional<PlatformValue> session = console.sessionDictionary();
    if (session && session->dictionary() == nullptr) {
        session.reset();
    }
    return session;
}

const QMetaMethod& changedSignal() {
    static const QMetaMethod signal = QMetaMethod::fromSignal(&SessionLock::changed);
    return signal;
}

} // namespace

ScreenState SessionLockOnMac::evaluate(const std::optional<MacConsoleSession::RootProperties>& root,
                                       const std::optional<PlatformValue>& session,
                                       std::uint32_t uid) {
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

ScreenState SessionLockOnMac::read(const MacConsoleSession& console) {
    std::optional<MacConsoleSession::RootProperties> root = console.rootProperties();
    if (!root || !root->consoleUsers || !root->consoleLocked) {
        return ScreenState::Unknown;
    }
    return evaluate(root, sessionDictionary(console), console.userID());
}

SessionLockOnMac::SessionLockOnMac(MacConsoleSession& console, MacInputEvents& input, Clock& clock)
    : console_(console)
    , input_(input)
    , clock_(clock) {}

SessionLockOnMac::~SessionLockOnMac() = default;

ScreenState SessionLockOnMac::state() const {
    const ScreenState state = read(console_);
    note(state);
    return state;
}

void SessionLockOnMac::note(ScreenState state) const {
    seen_ = state;
    if (seen_ == announced_ || announcing_) {
        return;
    }
    // Not from inside the caller's read: a listener reacting there would run in the middle of
    // whatever action is checking the lock.
    announcing_ = true;
    auto* self = const_cast<SessionLockOnMac*>(this);
    QTimer::singleShot(0, self, [self] {
        self->announcing_ = false;
        self->announce();
    });
}

void SessionLockOnMac::announce() {
    if (!seen_ || seen_ == announced_) {
        return;
    }
    announced_ = seen_;
    Q_EMIT changed(*seen_);
}

void SessionLockOnMac::connectNotify(const QMetaMethod& signal) {
    // The first listener starts a watch of its own, so that its period counts from now; a watch
    // left from earlier listeners ends at its next wake-up.
    if (signal != changedSignal() || receivers(SIGNAL(changed(corvane::ScreenState))) != 1) {
        return;
    }
    ++watch_;
    const QPointer<SessionLockOnMac> self(this);
    startDetached(watch(self, &clock_, watch_), [self](std::exception_ptr error) {
        if (!self) {
            return;
        }
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            Q_EMIT self->readFailed(QStringLiteral("the lock-state watch stopped: ") +
                                    QString::fromUtf8(e.what()));
        } catch (...) {
            Q_EMIT self->readFailed(QStringLiteral("the lock-state watch stopped"));
        }
    });
}

QCoro::Task<> SessionLockOnMac::watch(QPointer<SessionLockOnMac> self, Clock* clock,
                                      std::uint64_t generation) {
    while (self && self->watch_ == generation && self->isSignalConnected(changedSignal())) {
        co_await clock->sleep(pollInterval);
        if (!self || self->watch_ != generation || !self->isSignalConnected(changedSignal())) {
            co_return;
        }
        try {
            self->state();
        } catch (const std::exception& error) {
            // A failing read must not end the watch: the next tick reads again.
            Q_EMIT self->readFailed(QString::fromUtf8(error.what()));
            continue;
        }
        self->announce();
    }
}

QCoro::Task<SessionLock::LockResult> SessionLockOnMac::lockNow() {
    if (!input_.postKeyToSession({lockKeyCode, lockKeyFlags, std::nullopt})) {
        co_return LockResult::Refused;
    }
    const QPointer<SessionLockOnMac> self(this);
    Clock* clock = &clock_;
    // Only a reading of "locked" confirms: inactive or unknown may be anything.
    for (int waits = 0;; ++waits) {
        if (!self) {
            co_return LockResult::NotConfirmed;
        }
        if (self->state() == ScreenState::Locked) {
            co_return LockResult::Locked;
        }
        if (waits == lockWaitLimit) {
            co_return LockResult::NotConfirmed;
        }
        co_await clock->sleep(lockPollInterval);
    }
}

SessionLock::Facts SessionLockOnMac::facts() const {
    Facts facts;
    const std::optional<PlatformValue> session = sessionDictionary(console_);
    facts.graphicalSession = session.has_value();
    if (session) {
        facts.onConsole = looseBoolean(session->find("kCGSSessionOnConsoleKey"));
        facts.loginDone = looseBoolean(session->find("kCGSessionLoginDoneKey"));
    }
    facts.legacyLockToolPresent = console_.legacyLockToolPresent();
    return facts;
}

} // namespace corvane
