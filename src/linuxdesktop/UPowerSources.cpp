#include "linuxdesktop/UPowerSources.h"

#include "linuxdesktop/DBusCalls.h"
#include "linuxdesktop/Logind.h"

#include <QPointer>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace corvane {

namespace {

const QString upower = QStringLiteral("org.freedesktop.UPower");
const QString upowerPath = QStringLiteral("/org/freedesktop/UPower");
const QString displayDevicePath = QStringLiteral("/org/freedesktop/UPower/devices/DisplayDevice");
const QString deviceInterface = QStringLiteral("org.freedesktop.UPower.Device");
const QString onBatteryProperty = QStringLiteral("OnBattery");
const QString canSuspendMethod = QStringLiteral("CanSuspend");
const QString suspendMethod = QStringLiteral("Suspend");

// UPower's device types and states (its Device interface).
constexpr unsigned typeBattery = 2;
constexpr unsigned stateCharging = 1;
constexpr unsigned statePendingCharge = 5;

} // namespace

UPowerSources::UPowerSources(QDBusConnection systemBus, QObject* parent)
    : QObject(parent)
    , bus_(std::move(systemBus))
    , watcher_(upower, bus_,
               QDBusServiceWatcher::WatchForRegistration |
                   QDBusServiceWatcher::WatchForUnregistration) {
    const char* slot = SLOT(propertiesChanged(QString, QVariantMap, QStringList));
    bus_.connect(upower, displayDevicePath, Logind::propertiesInterface,
                 QString(QLatin1String("PropertiesChanged")), this, slot);
    bus_.connect(upower, upowerPath, Logind::propertiesInterface,
                 QString(QLatin1String("PropertiesChanged")), this, slot);
    connect(&watcher_, &QDBusServiceWatcher::serviceRegistered, this, &UPowerSources::forget);
    connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this, &UPowerSources::forget);
}

std::optional<PowerSources::Battery> UPowerSources::batteryFrom(const QVariantMap& device,
                                                                std::optional<bool> onBattery) {
    const QVariant type = device.value(QString(QLatin1String("Type")));
    const QVariant present = device.value(QString(QLatin1String("IsPresent")));
    const QVariant percentage = device.value(QString(QLatin1String("Percentage")));
    const QVariant state = device.value(QString(QLatin1String("State")));
    if (type.typeId() != QMetaType::UInt || type.toUInt() != typeBattery ||
        (present.isValid() && !present.toBool()) || percentage.typeId() != QMetaType::Double) {
        return std::nullopt;
    }
    const double value = percentage.toDouble();
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    Battery battery;
    battery.percent = static_cast<int>(std::lround(std::clamp(value, 0.0, 100.0)));
    const unsigned code = state.typeId() == QMetaType::UInt ? state.toUInt() : 0;
    battery.charging = code == stateCharging || code == statePendingCharge;
    if (onBattery) {
        battery.pluggedIn = !*onBattery;
    }
    return battery;
}

QCoro::Task<std::optional<PowerSources::Battery>> UPowerSources::battery() {
    if (device_) {
        co_return batteryFrom(*device_, onBattery_);
    }
    QPointer<UPowerSources> self(this);
    const std::uint64_t generation = generation_;
    // Each call is named before it is awaited: GCC 12 destroys temporaries of a co_await
    // expression twice.
    const DBusCalls::Address display{upower, displayDevicePath, deviceInterface};
    QCoro::Task<std::optional<QVariantMap>> reading = DBusCalls::properties(bus_, display);
    const std::optional<QVariantMap> device = co_await reading;
    if (!device) {
        throw std::runtime_error("UPower does not answer");
    }
    const DBusCalls::Address daemon{upower, upowerPath, upower};
    QCoro::Task<std::optional<QVariant>> readingOnBattery =
        DBusCalls::property(bus_, daemon, onBatteryProperty);
    const std::optional<QVariant> answer = co_await readingOnBattery;
    std::optional<bool> onBattery;
    if (answer && answer->typeId() == QMetaType::Bool) {
        onBattery = answer->toBool();
    }
    // Kept for the next reads unless UPower came or went meanwhile; answered either way.
    if (self && generation == self->generation_) {
        self->device_ = *device;
        self->onBattery_ = onBattery;
    }
    co_return batteryFrom(*device, onBattery);
}

void UPowerSources::propertiesChanged(const QString& interface, const QVariantMap& changed,
                                      const QStringList& invalidated) {
    if (!invalidated.isEmpty()) {
        forget();
        return;
    }
    if (interface == deviceInterface && device_) {
        for (auto it = changed.begin(); it != changed.end(); ++it) {
            device_->insert(it.key(), DBusCalls::plain(it.value()));
        }
    } else if (interface == upower) {
        const QVariant onBattery =
            DBusCalls::plain(changed.value(QString(QLatin1String("OnBattery"))));
        if (onBattery.typeId() == QMetaType::Bool) {
            onBattery_ = onBattery.toBool();
        }
    }
}

void UPowerSources::forget() {
    ++generation_;
    device_.reset();
    onBattery_.reset();
}

QCoro::Task<PowerSources::SleepOutcome> UPowerSources::requestSleep() {
    const DBusCalls::Address manager{Logind::service, Logind::path, Logind::managerInterface};
    QCoro::Task<QDBusMessage> asking = DBusCalls::call(bus_, manager, canSuspendMethod);
    const QDBusMessage can = co_await asking;
    const std::optional<QVariant> answer = DBusCalls::firstArgument(can);
    if (!answer || answer->typeId() != QMetaType::QString) {
        co_return SleepOutcome::Unavailable;
    }
    const QString verdict = answer->toString();
    if (verdict == QLatin1String("challenge")) {
        // Only with a password typed at the computer: never asked for from elsewhere.
        co_return SleepOutcome::Denied;
    }
    if (verdict != QLatin1String("yes")) {
        co_return SleepOutcome::Unavailable;
    }
    QCoro::Task<QDBusMessage> suspending =
        DBusCalls::call(bus_, manager, suspendMethod, DBusCalls::arguments(false));
    const QDBusMessage reply = co_await suspending;
    co_return reply.type() == QDBusMessage::ReplyMessage ? SleepOutcome::Accepted
                                                         : SleepOutcome::Denied;
}

} // namespace corvane
