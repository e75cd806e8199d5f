#include "linuxdesktop/KdeFocusModes.h"

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <qcoro/qcorodbus.h>

#include <optional>

namespace corvane {

struct KdeFocusModes::State {
    explicit State(QDBusConnection b)
        : bus(std::move(b)) {}

    QDBusConnection bus;
    // The agent's own inhibition, while it holds one.
    std::optional<quint32> cookie;
};

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");

QCoro::Task<QDBusMessage> call(QDBusConnection bus, QDBusMessage message) {
    const QDBusPendingCall pending = bus.asyncCall(message, KdeFocusModes::callTimeoutMs);
    co_return co_await pending;
}

// The server's Inhibited property; absent when there is no server or it does not offer one.
QCoro::Task<std::optional<bool>> inhibited(QDBusConnection bus) {
    QDBusMessage get = QDBusMessage::createMethodCall(
        service, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << interface << QStringLiteral("Inhibited");
    const QDBusMessage reply = co_await call(bus, get);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        co_return std::nullopt;
    }
    const QVariant value = reply.arguments().front().value<QDBusVariant>().variant();
    if (value.typeId() != QMetaType::Bool) {
        co_return std::nullopt;
    }
    co_return value.toBool();
}

QCoro::Task<FocusModes::Outcome> change(std::shared_ptr<KdeFocusModes::State> state, bool enabled,
                                        std::function<void()> beforeChange) {
    using Outcome = FocusModes::Outcome;
    const std::optional<bool> before = co_await inhibited(state->bus);
    if (!before) {
        co_return Outcome::Unavailable;
    }
    if (*before == enabled) {
        co_return Outcome::Confirmed;
    }
    if (!enabled && !state->cookie) {
        // Held by another program, which alone may release it.
        co_return Outcome::Refused;
    }
    if (beforeChange) {
        beforeChange();
    }
    QDBusMessage request;
    if (enabled) {
        request =
            QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Inhibit"));
        request << QStringLiteral("velto") << QStringLiteral("Do Not Disturb") << QVariantMap();
    } else {
        request =
            QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("UnInhibit"));
        request << *state->cookie;
    }
    const QDBusMessage reply = co_await call(state->bus, request);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        co_return reply.errorName() == QLatin1StringView("org.freedesktop.DBus.Error.NoReply") ||
                reply.errorName() == QLatin1StringView("org.freedesktop.DBus.Error.ServiceUnknown")
            ? Outcome::Unavailable
            : Outcome::Refused;
    }
    if (enabled) {
        const QList<QVariant> answer = reply.arguments();
        if (answer.size() != 1 || answer.front().typeId() != QMetaType::UInt) {
            co_return Outcome::NotConfirmed;
        }
        state->cookie = answer.front().toUInt();
    } else {
        state->cookie.reset();
    }
    const std::optional<bool> after = co_await inhibited(state->bus);
    co_return after == enabled ? Outcome::Confirmed : Outcome::NotConfirmed;
}

} // namespace

KdeFocusModes::KdeFocusModes(QDBusConnection bus)
    : state_(std::make_shared<State>(std::move(bus))) {}

QCoro::Task<FocusModes::Outcome>
KdeFocusModes::setDoNotDisturb(bool enabled, std::function<void()> beforeChange) {
    return change(state_, enabled, std::move(beforeChange));
}

} // namespace corvane
