#include "linuxdesktop/LogindSessionLock.h"

#include "linuxdesktop/DBusCalls.h"
#include "linuxdesktop/Logind.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QPointer>

#include <exception>
#include <unistd.h>

namespace corvane {

namespace {

const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");
const QString userInterface = QStringLiteral("org.freedesktop.login1.User");
const QString lockMethod = QStringLiteral("Lock");
const QString getSessionMethod = QStringLiteral("GetSession");
const QString getSessionByPidMethod = QStringLiteral("GetSessionByPID");
const QString getUserMethod = QStringLiteral("GetUser");
const QString displayProperty = QStringLiteral("Display");

QString objectPath(const std::optional<QVariant>& value) {
    if (!value || value->userType() != qMetaTypeId<QDBusObjectPath>()) {
        return {};
    }
    return value->value<QDBusObjectPath>().path();
}

// The object path of a (so) structure such as User.Display; empty for "/" or anything else.
QString structurePath(const std::optional<QVariant>& value) {
    if (!value || value->userType() != qMetaTypeId<QDBusArgument>()) {
        return {};
    }
    const QDBusArgument argument = value->value<QDBusArgument>();
    if (argument.currentType() != QDBusArgument::StructureType ||
        argument.currentSignature() != QLatin1String("(so)")) {
        return {};
    }
    QString id;
    QDBusObjectPath path;
    argument.beginStructure();
    argument >> id >> path;
    argument.endStructure();
    return path.path() == QLatin1String("/") ? QString() : path.path();
}

} // namespace

LogindSessionLock::Options LogindSessionLock::ofThisProcess() {
    return Options{qEnvironmentVariable("XDG_SESSION_ID"), static_cast<std::uint32_t>(::getpid()),
                   static_cast<std::uint32_t>(::getuid())};
}

LogindSessionLock::LogindSessionLock(QDBusConnection systemBus, Clock& clock, Options options,
                                     QObject* parent)
    : SessionLock(parent)
    , bus_(std::move(systemBus))
    , clock_(clock)
    , options_(std::move(options))
    , watcher_(Logind::service, bus_,
               QDBusServiceWatcher::WatchForRegistration |
                   QDBusServiceWatcher::WatchForUnregistration) {
    // logind restarting (or starting late) is a new lookup; leaving makes the state unknown.
    connect(&watcher_, &QDBusServiceWatcher::serviceRegistered, this, [this] { resolve(); });
    connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        ++generation_;
        logindPresent_ = false;
        forget();
    });
    resolve();
}

ScreenState LogindSessionLock::state() const {
    if (sessionPath_.isEmpty() || !lockedHint_ || !active_) {
        return ScreenState::Unknown;
    }
    if (*lockedHint_) {
        return ScreenState::Locked;
    }
    return *active_ ? ScreenState::Unlocked : ScreenState::Inactive;
}

SessionLock::Facts LogindSessionLock::facts() const {
    Facts facts;
    facts.graphicalSession = sessionType_ && (*sessionType_ == QLatin1String("x11") ||
                                              *sessionType_ == QLatin1String("wayland") ||
                                              *sessionType_ == QLatin1String("mir"));
    facts.onConsole = active_;
    facts.loginDone = sessionPath_.isEmpty() ? std::nullopt : std::optional<bool>(true);
    return facts;
}

QCoro::Task<SessionLock::LockResult> LogindSessionLock::lockNow() {
    QPointer<LogindSessionLock> self(this);
    const QString path = sessionPath_;
    if (path.isEmpty()) {
        co_return LockResult::Refused;
    }
    if (state() == ScreenState::Locked) {
        co_return LockResult::Locked;
    }
    // Each call is named before it is awaited: GCC 12 destroys temporaries of a co_await
    // expression twice.
    const DBusCalls::Address session{Logind::service, path, sessionInterface};
    QCoro::Task<QDBusMessage> asked = DBusCalls::call(bus_, session, lockMethod);
    const QDBusMessage reply = co_await asked;
    if (reply.type() != QDBusMessage::ReplyMessage) {
        co_return LockResult::Refused;
    }
    // The screen locker sets LockedHint once it shows; PropertiesChanged brings it here.
    for (int wait = 0; wait < confirmWaits; ++wait) {
        if (!self || self->sessionPath_ != path) {
            co_return LockResult::NotConfirmed;
        }
        if (self->state() == ScreenState::Locked) {
            co_return LockResult::Locked;
        }
        co_await clock_.sleep(confirmInterval);
    }
    co_return self && self->state() == ScreenState::Locked ? LockResult::Locked
                                                           : LockResult::NotConfirmed;
}

QCoro::Task<> LogindSessionLock::resolve() {
    QPointer<LogindSessionLock> self(this);
    const std::uint64_t generation = ++generation_;
    lookedUp_ = false;
    try {
        QCoro::Task<QString> finding = findSession();
        const QString path = co_await finding;
        if (!self || generation != generation_) {
            co_return;
        }
        if (path.isEmpty()) {
            forget();
            lookedUp_ = true;
            co_return;
        }
        if (path != sessionPath_) {
            if (!sessionPath_.isEmpty()) {
                bus_.disconnect(Logind::service, sessionPath_, Logind::propertiesInterface,
                                QString(QLatin1String("PropertiesChanged")), this,
                                SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
            }
            forget();
            sessionPath_ = path;
            // Subscribed before the first read, so that no change falls between the two.
            bus_.connect(Logind::service, path, Logind::propertiesInterface,
                         QString(QLatin1String("PropertiesChanged")), this,
                         SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
        }
        const DBusCalls::Address session{Logind::service, path, sessionInterface};
        QCoro::Task<std::optional<QVariantMap>> reading = DBusCalls::properties(bus_, session);
        const std::optional<QVariantMap> values = co_await reading;
        if (!self || generation != generation_) {
            co_return;
        }
        if (values) {
            apply(*values);
        }
        lookedUp_ = true;
    } catch (const std::exception& error) {
        if (self) {
            self->lookedUp_ = true;
            Q_EMIT readFailed(QString::fromUtf8(error.what()));
        }
    }
}

QCoro::Task<QString> LogindSessionLock::findSession() {
    QPointer<LogindSessionLock> self(this);
    const DBusCalls::Address manager{Logind::service, Logind::path, Logind::managerInterface};
    const Options options = options_;
    QCoro::Task<QDBusMessage> asked =
        options.sessionId.isEmpty() ? DBusCalls::call(bus_, manager, getSessionByPidMethod,
                                                      DBusCalls::arguments(options.pid))
                                    : DBusCalls::call(bus_, manager, getSessionMethod,
                                                      DBusCalls::arguments(options.sessionId));
    const QDBusMessage reply = co_await asked;
    if (!self) {
        co_return QString();
    }
    if (reply.type() == QDBusMessage::ErrorMessage &&
        (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
         reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))) {
        logindPresent_ = false;
        co_return QString();
    }
    logindPresent_ = reply.type() == QDBusMessage::ReplyMessage ||
                     reply.errorName() != QLatin1String("org.freedesktop.DBus.Error.NoReply");
    if (QString path = objectPath(DBusCalls::firstArgument(reply)); !path.isEmpty()) {
        co_return path;
    }
    // A process outside any session (started by the user's service manager): the user's display
    // session is the one a person sees.
    QCoro::Task<QDBusMessage> askedUser =
        DBusCalls::call(bus_, manager, getUserMethod, DBusCalls::arguments(options.uid));
    const QDBusMessage user = co_await askedUser;
    const QString userPath = objectPath(DBusCalls::firstArgument(user));
    if (!self || userPath.isEmpty()) {
        co_return QString();
    }
    const DBusCalls::Address userObject{Logind::service, userPath, userInterface};
    QCoro::Task<std::optional<QVariant>> reading =
        DBusCalls::property(bus_, userObject, displayProperty);
    const std::optional<QVariant> display = co_await reading;
    co_return structurePath(display);
}

void LogindSessionLock::propertiesChanged(const QString& interface, const QVariantMap& changed,
                                          const QStringList& invalidated) {
    if (interface != sessionInterface) {
        return;
    }
    QVariantMap values;
    for (auto it = changed.begin(); it != changed.end(); ++it) {
        values.insert(it.key(), DBusCalls::plain(it.value()));
    }
    apply(values);
    // A property announced without its value is read again.
    if (invalidated.contains(QLatin1String("LockedHint")) ||
        invalidated.contains(QLatin1String("Active"))) {
        resolve();
    }
}

void LogindSessionLock::forget() {
    sessionPath_.clear();
    lockedHint_.reset();
    active_.reset();
    sessionType_.reset();
    announce();
}

void LogindSessionLock::apply(const QVariantMap& values) {
    const std::optional<bool> wasActive = active_;
    if (const auto it = values.find(QString(QLatin1String("LockedHint")));
        it != values.end() && it->typeId() == QMetaType::Bool) {
        lockedHint_ = it->toBool();
    }
    if (const auto it = values.find(QString(QLatin1String("Active")));
        it != values.end() && it->typeId() == QMetaType::Bool) {
        active_ = it->toBool();
    }
    if (const auto it = values.find(QString(QLatin1String("Type")));
        it != values.end() && it->typeId() == QMetaType::QString) {
        sessionType_ = it->toString();
    }
    announce();
    if (active_ && wasActive && *active_ != *wasActive) {
        Q_EMIT activeChanged(*active_);
    }
}

void LogindSessionLock::announce() {
    const ScreenState now = state();
    if (now != announced_) {
        announced_ = now;
        Q_EMIT changed(now);
    }
}

} // namespace corvane
