#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>
#include <utility>

namespace corvane {

// Asynchronous D-Bus calls for the desktop ports: each awaits its reply on the main thread (never a
// blocking call) and is bounded, so a service that hangs costs the caller its time limit only.
namespace DBusCalls {

inline constexpr std::chrono::milliseconds defaultTimeout{3000};

struct Address {
    QString service;
    QString path;
    QString interface;
};

// The reply, or an error message (a missing service, a refusal, the time limit).
QCoro::Task<QDBusMessage> call(QDBusConnection bus, Address address, QString method,
                               QVariantList arguments = {},
                               std::chrono::milliseconds timeout = defaultTimeout);

// One property through org.freedesktop.DBus.Properties; absent on any error.
QCoro::Task<std::optional<QVariant>> property(QDBusConnection bus, Address address, QString name,
                                              std::chrono::milliseconds timeout = defaultTimeout);
// Every property of the interface; absent on any error.
QCoro::Task<std::optional<QVariantMap>>
properties(QDBusConnection bus, Address address,
           std::chrono::milliseconds timeout = defaultTimeout);

// A call's arguments, made outside the coroutine bodies: GCC 12 rejects an initializer list
// there ("array used as initializer").
template <typename... Values>
QVariantList arguments(Values&&... values) {
    return QVariantList{QVariant::fromValue(std::forward<Values>(values))...};
}

// The first argument of a successful reply, unwrapped from a variant; absent otherwise.
std::optional<QVariant> firstArgument(const QDBusMessage& reply);
// A value that arrived inside a D-Bus variant or structure, as plain Qt types (nested variants
// and a{sv} maps unwrapped).
QVariant plain(const QVariant& value);

} // namespace DBusCalls

} // namespace corvane
