#pragma once

#include "platform/PowerSources.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QVariantMap>

#include <cstdint>
#include <optional>

namespace corvane {

// The battery from UPower's display device (the combined battery a panel shows) and whether the
// computer runs on it, kept from PropertiesChanged after the first read; sleep through logind
// (CanSuspend, then Suspend without asking the person for authentication). Main thread only.
class UPowerSources final : public QObject, public PowerSources {
    Q_OBJECT

public:
    explicit UPowerSources(QDBusConnection systemBus, QObject* parent = nullptr);

    // Throws std::runtime_error when UPower does not answer.
    QCoro::Task<std::optional<Battery>> battery() override;
    QCoro::Task<SleepOutcome> requestSleep() override;

    // The battery as UPower's values describe it; absent without one. Exposed for its table.
    static std::optional<Battery> batteryFrom(const QVariantMap& device,
                                              std::optional<bool> onBattery);

private Q_SLOTS:
    void propertiesChanged(const QString& interface, const QVariantMap& changed,
                           const QStringList& invalidated);

private:
    void forget();

    QDBusConnection bus_;
    QDBusServiceWatcher watcher_;
    std::uint64_t generation_ = 0;
    std::optional<QVariantMap> device_;
    std::optional<bool> onBattery_;
};

} // namespace corvane
