#pragma once

#include "core/Clock.h"
#include "platform/SessionLock.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>

namespace corvane {

// The session lock over systemd-logind on the system bus. The agent's own session is found once
// logind answers (XDG_SESSION_ID, else the session of this process, else the user's display
// session); its LockedHint and Active properties are then kept from PropertiesChanged, so that
// state() costs nothing. Until then, and whenever logind is absent, the state is Unknown. Every
// call is asynchronous; main thread only.
class LogindSessionLock final : public SessionLock {
    Q_OBJECT

public:
    struct Options {
        QString sessionId; // XDG_SESSION_ID; empty when unset
        std::uint32_t pid = 0;
        std::uint32_t uid = 0;
    };
    // The options of this process: its environment, pid and uid.
    static Options ofThisProcess();

    // The lock is confirmed by reading LockedHint: 30 waits of 100 ms after the request.
    static constexpr std::chrono::milliseconds confirmInterval{100};
    static constexpr int confirmWaits = 30;

    LogindSessionLock(QDBusConnection systemBus, Clock& clock, Options options,
                      QObject* parent = nullptr);

    ScreenState state() const override;
    QCoro::Task<LockResult> lockNow() override;
    // logind locks the session itself: no keystroke, no accessibility trust.
    bool lockNeedsAccessibility() const override { return false; }
    Facts facts() const override;

    // Whether logind answers and the agent's session was found.
    bool sessionKnown() const { return !sessionPath_.isEmpty(); }
    // Whether logind owns its name on the bus (as far as seen so far).
    bool logindPresent() const { return logindPresent_; }
    // Whether a lookup of the session has ended (found or not) since the last one began.
    bool lookedUp() const { return lookedUp_; }

Q_SIGNALS:
    // The session became the foreground session of its seat, or stopped being it.
    void activeChanged(bool active);

private Q_SLOTS:
    void propertiesChanged(const QString& interface, const QVariantMap& changed,
                           const QStringList& invalidated);

private:
    QCoro::Task<> resolve();
    QCoro::Task<QString> findSession();
    void forget();
    void apply(const QVariantMap& values);
    void announce();

    QDBusConnection bus_;
    Clock& clock_;
    Options options_;
    QDBusServiceWatcher watcher_;
    // Bumped on every new lookup, so that an older lookup's late answers are dropped.
    std::uint64_t generation_ = 0;
    bool logindPresent_ = false;
    bool lookedUp_ = false;
    QString sessionPath_;
    std::optional<bool> lockedHint_;
    std::optional<bool> active_;
    std::optional<QString> sessionType_;
    ScreenState announced_ = ScreenState::Unknown;
};

} // namespace corvane
