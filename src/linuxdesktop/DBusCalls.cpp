#include "linuxdesktop/DBusCalls.h"

#include <QDBusArgument>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <qcoro/qcorodbus.h>

namespace corvane::DBusCalls {

namespace {

const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString getMethod = QStringLiteral("Get");
const QString getAllMethod = QStringLiteral("GetAll");

QVariantMap plainMap(const QDBusArgument& argument) {
    QVariantMap map;
    argument.beginMap();
    while (!argument.atEnd()) {
        QString key;
        QVariant value;
        argument.beginMapEntry();
        argument >> key >> value;
        argument.endMapEntry();
        map.insert(key, plain(value));
    }
    argument.endMap();
    return map;
}

} // namespace

QCoro::Task<QDBusMessage> call(QDBusConnection bus, Address address, QString method,
                               QVariantList arguments, std::chrono::milliseconds timeout) {
    QDBusMessage message =
        QDBusMessage::createMethodCall(address.service, address.path, address.interface, method);
    message.setArguments(arguments);
    // Named: the awaiter keeps a reference to the pending call.
    const QDBusPendingCall pending = bus.asyncCall(message, static_cast<int>(timeout.count()));
    QDBusMessage reply = co_await pending;
    co_return reply;
}

QCoro::Task<std::optional<QVariant>> property(QDBusConnection bus, Address address, QString name,
                                              std::chrono::milliseconds timeout) {
    const QVariantList arguments = DBusCalls::arguments(address.interface, name);
    const Address properties{address.service, address.path, propertiesInterface};
    // Named first: GCC 12 destroys temporaries of a co_await expression twice.
    QCoro::Task<QDBusMessage> asked = call(bus, properties, getMethod, arguments, timeout);
    const QDBusMessage reply = co_await asked;
    co_return firstArgument(reply);
}

QCoro::Task<std::optional<QVariantMap>> properties(QDBusConnection bus, Address address,
                                                   std::chrono::milliseconds timeout) {
    const QVariantList arguments = DBusCalls::arguments(address.interface);
    const Address properties{address.service, address.path, propertiesInterface};
    QCoro::Task<QDBusMessage> asked = call(bus, properties, getAllMethod, arguments, timeout);
    const QDBusMessage reply = co_await asked;
    const std::optional<QVariant> value = firstArgument(reply);
    if (!value || value->typeId() != QMetaType::QVariantMap) {
        co_return std::nullopt;
    }
    co_return value->toMap();
}

std::optional<QVariant> firstArgument(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return std::nullopt;
    }
    return plain(reply.arguments().constFirst());
}

QVariant plain(const QVariant& value) {
    if (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>()) {
        return plain(value.value<QDBusVariant>().variant());
    }
    if (value.userType() == qMetaTypeId<QDBusArgument>()) {
        const QDBusArgument argument = value.value<QDBusArgument>();
        if (argument.currentType() == QDBusArgument::MapType) {
            return plainMap(argument);
        }
        return value;
    }
    if (value.typeId() == QMetaType::QVariantMap) {
        QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it) {
            *it = plain(*it);
        }
        return map;
    }
    return value;
}

} // namespace corvane::DBusCalls
