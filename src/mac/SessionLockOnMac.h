#pragma once

#include "core/Clock.h"
#include "mac/MacConsoleSession.h"
#include "mac/MacInputEvents.h"
#include "platform/PlatformValue.h"
#include "platform/SessionLock.h"

#include <QPointer>

#include <chrono>
#include <cstdint>
#include <optional>

namespace corvane {

// The session lock on a Mac: the conservative verdict over the console records and the current
// session (Unlocked or Locked only when both agree completely about the agent's user), the lock
// keystroke with its confirmation, and a watch that polls the console while anyone listens, since
// the console registry announces nothing.
//
// Every state() reads the console afresh (the registry is in-process and cheap): an action's
// check sees the state of that moment. A read that finds a change the watch has not announced
// yet announces it on the next turn of the event loop, never from inside the caller's read.
class SessionLockOnMac final : public SessionLock {
    Q_OBJECT

public:
    SessionLockOnMac(MacConsoleSession& console, MacInputEvents& input, Clock& clock);
    ~SessionLockOnMac() override;

    // The watch's period.
    static constexpr std::chrono::milliseconds pollInterval{250};
    // What the Mac honours today to lock the screen: Control-Command-Q.
    static constexpr std::uint16_t lockKeyCode = 12;
    static constexpr std::uint64_t lockKeyFlags =
        MacInputEvents::commandFlag | MacInputEvents::controlFlag;
    // The lock is confirmed by reading: 29 waits of 100 ms after the first read.
    static constexpr std::chrono::milliseconds lockPollInterval{100};
    static constexpr int lockWaitLimit = 29;

    ScreenState state() const override;
    QCoro::Task<LockResult> lockNow() override;
    Facts facts() const override;

    // Reads the console afresh and evaluates it. Never fails on content: Unknown when anything
    // is missing; throws only when the console itself throws.
    static ScreenState read(const MacConsoleSession& console);
    // The pure decision over hand-made or platform dictionaries.
    static ScreenState evaluate(const std::optional<MacConsoleSession::RootProperties>& root,
                                const std::optional<PlatformValue>& session, std::uint32_t uid);

protected:
    void connectNotify(const QMetaMethod& signal) override;

private:
    void note(ScreenState state) const;
    void announce();
    static QCoro::Task<> watch(QPointer<SessionLockOnMac> self, Clock* clock,
                               std::uint64_t generation);

    MacConsoleSession& console_;
    MacInputEvents& input_;
    Clock& clock_;
    // The last state read, and the last one announced; absent before the first.
    mutable std::optional<ScreenState> seen_;
    std::optional<ScreenState> announced_;
    mutable bool announcing_ = false;
    std::uint64_t watch_ = 0; // the generation of the watch that may run
};

} // namespace corvane
