#include "linuxdesktop/LogindSleepWatch.h"

#include "linuxdesktop/DBusCalls.h"
#include "linuxdesktop/Logind.h"

#include <QPointer>

namespace corvane {

LogindSleepWatch::LogindSleepWatch(QDBusConnection systemBus, QObject* parent)
    : QObject(parent)
    , bus_(std::move(systemBus))
    , watcher_(Logind::service, bus_,
               QDBusServiceWatcher::WatchForRegistration |
                   QDBusServiceWatcher::WatchForUnregistration) {
    releaseTimer_.setSingleShot(true);
    releaseTimer_.setInterval(grace);
    connect(&releaseTimer_, &QTimer::timeout, this, &LogindSleepWatch::release);
    bus_.connect(Logind::service, Logind::path, Logind::managerInterface,
                 QString(QLatin1String("PrepareForSleep")), this, SLOT(prepareForSleep(bool)));
    connect(&watcher_, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        if (!sleeping_) {
            inhibit();
        }
    });
    connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        ++generation_;
        release();
    });
    inhibit();
}

void LogindSleepWatch::prepareForSleep(bool sleeping) {
    if (sleeping == sleeping_) {
        return;
    }
    sleeping_ = sleeping;
    if (sleeping) {
        ++generation_;
        Q_EMIT willSleep();
        // The agent's suspension is synchronous; the grace lets its socket's close go out.
        releaseTimer_.start();
    } else {
        releaseTimer_.stop();
        release();
        Q_EMIT didWake();
        inhibit();
    }
}

QCoro::Task<> LogindSleepWatch::inhibit() {
    QPointer<LogindSleepWatch> self(this);
    const std::uint64_t generation = ++generation_;
    const QVariantList arguments = DBusCalls::arguments(
        QStringLiteral("sleep"), QStringLiteral("Velto"),
        QStringLiteral("Ending the relay session before sleep"), QStringLiteral("delay"));
    const DBusCalls::Address manager{Logind::service, Logind::path, Logind::managerInterface};
    const QString method = QStringLiteral("Inhibit");
    // Named first: GCC 12 destroys temporaries of a co_await expression twice.
    QCoro::Task<QDBusMessage> asked = DBusCalls::call(bus_, manager, method, arguments);
    const QDBusMessage reply = co_await asked;
    if (!self || generation != generation_ || sleeping_) {
        co_return; // the descriptor closes with the reply
    }
    const std::optional<QVariant> fd = DBusCalls::firstArgument(reply);
    if (fd && fd->userType() == qMetaTypeId<QDBusUnixFileDescriptor>()) {
        inhibitor_ = fd->value<QDBusUnixFileDescriptor>();
        Q_EMIT inhibitorChanged(inhibitor_.isValid());
    }
}

void LogindSleepWatch::release() {
    if (inhibitor_.isValid()) {
        inhibitor_ = QDBusUnixFileDescriptor();
        Q_EMIT inhibitorChanged(false);
    }
}

} // namespace corvane
