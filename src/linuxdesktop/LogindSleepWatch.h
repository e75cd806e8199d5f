#pragma once

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QTimer>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstdint>

namespace corvane {

// The machine's sleep and wake, from logind's PrepareForSleep. While awake it holds a "delay"
// inhibitor, so that logind waits for the agent before the machine sleeps: willSleep is
// announced, and the inhibitor released once the agent has had `grace` to end its session. On
// wake it is taken again. Without logind nothing is announced. Main thread only.
class LogindSleepWatch final : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds grace{500};

    explicit LogindSleepWatch(QDBusConnection systemBus, QObject* parent = nullptr);

    // Whether the delay inhibitor is held now.
    bool holdsInhibitor() const { return inhibitor_.isValid(); }

Q_SIGNALS:
    void willSleep();
    void didWake();
    // The inhibitor was taken or released (for whoever needs to know when).
    void inhibitorChanged(bool held);

private Q_SLOTS:
    void prepareForSleep(bool sleeping);

private:
    QCoro::Task<> inhibit();
    void release();

    QDBusConnection bus_;
    QDBusServiceWatcher watcher_;
    QTimer releaseTimer_;
    QDBusUnixFileDescriptor inhibitor_;
    // Bumped whenever an inhibitor request in flight must be dropped on arrival.
    std::uint64_t generation_ = 0;
    bool sleeping_ = false;
};

} // namespace corvane
