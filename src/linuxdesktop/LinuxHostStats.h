#pragma once

#include "platform/HostStats.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <qcoro/qcorotask.h>

#include <optional>
#include <string>

namespace corvane {

// The host's figures from the kernel's files: memory from meminfo, boot time from uptime, the
// thermal state from the thermal zones and their trip points, the home volume from statvfs. Low
// power mode is power-profiles-daemon's "power-saver" profile, kept from its PropertiesChanged
// (absent daemon: off). Reads are synchronous and cheap (no other process is asked); main thread
// only.
class LinuxHostStats final : public QObject, public HostStats {
    Q_OBJECT

public:
    struct Roots {
        QString proc = QStringLiteral("/proc");
        QString thermal = QStringLiteral("/sys/class/thermal");
        std::string home; // the volume measured; empty: $HOME
    };

    LinuxHostStats(QDBusConnection systemBus, Roots roots, QObject* parent = nullptr);

    std::optional<Memory> memory() const override;
    std::optional<BootTime> bootTime() const override;
    ThermalState thermalState() const override;
    bool lowPowerMode() const override;
    VolumeCapacity homeVolumeCapacity() const override;

private Q_SLOTS:
    void propertiesChanged(const QString& interface, const QVariantMap& changed,
                           const QStringList& invalidated);

private:
    QCoro::Task<> readProfile(QString service, QString path);

    QDBusConnection bus_;
    Roots roots_;
    std::optional<QString> profile_;
};

} // namespace corvane
