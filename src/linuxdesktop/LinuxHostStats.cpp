#include "linuxdesktop/LinuxHostStats.h"

#include "linuxdesktop/DBusCalls.h"

#include <QDir>
#include <QFile>
#include <QPointer>

#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <sys/statvfs.h>
#include <unistd.h>

namespace corvane {

namespace {

// power-profiles-daemon's name today, and the one older releases (Debian 12) use.
struct ProfileService {
    const char* service;
    const char* path;
};
constexpr std::array<ProfileService, 2> profileServices{
    ProfileService{"org.freedesktop.UPower.PowerProfiles", "/org/freedesktop/UPower/PowerProfiles"},
    ProfileService{"net.hadess.PowerProfiles", "/net/hadess/PowerProfiles"}};

// A small kernel file, whole; absent when it cannot be read. Kernel files report a size of 0, so
// this reads to the end within a bound.
std::optional<QByteArray> readSmall(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return file.read(64 * 1024);
}

std::optional<std::int64_t> integer(const QByteArray& text) {
    bool ok = false;
    const qlonglong value = text.trimmed().toLongLong(&ok);
    return ok ? std::optional<std::int64_t>(value) : std::nullopt;
}

// A value of meminfo in bytes ("MemTotal:  16318480 kB").
std::optional<std::uint64_t> meminfoBytes(const QByteArray& meminfo, const QByteArray& key) {
    for (const QByteArray& line : meminfo.split('\n')) {
        if (!line.startsWith(key + ':')) {
            continue;
        }
        const QList<QByteArray> words = line.mid(key.size() + 1).simplified().split(' ');
        bool ok = false;
        const qulonglong value = words.value(0).toULongLong(&ok);
        if (!ok) {
            return std::nullopt;
        }
        const std::uint64_t unit = words.value(1) == "kB" ? 1024 : 1;
        if (value > std::numeric_limits<std::uint64_t>::max() / unit) {
            return std::nullopt;
        }
        return value * unit;
    }
    return std::nullopt;
}

HostStats::ThermalState worse(HostStats::ThermalState a, HostStats::ThermalState b) {
    // Other (nothing known) ranks below every reading.
    const auto rank = [](HostStats::ThermalState state) {
        switch (state) {
        case HostStats::ThermalState::Other:
            return 0;
        case HostStats::ThermalState::Nominal:
            return 1;
        case HostStats::ThermalState::Fair:
            return 2;
        case HostStats::ThermalState::Serious:
            return 3;
        case HostStats::ThermalState::Critical:
            return 4;
        }
        return 0;
    };
    return rank(a) >= rank(b) ? a : b;
}

// One zone: its temperature against its trip points (millidegrees). Passive is where the kernel
// starts throttling, hot and critical where it acts on the machine.
HostStats::ThermalState zoneState(const QDir& zone) {
    const std::optional<QByteArray> tempText = readSmall(zone.filePath(QStringLiteral("temp")));
    const std::optional<std::int64_t> temp = tempText ? integer(*tempText) : std::nullopt;
    if (!temp) {
        return HostStats::ThermalState::Other;
    }
    HostStats::ThermalState state = HostStats::ThermalState::Nominal;
    const QStringList trips =
        zone.entryList({QStringLiteral("trip_point_*_type")}, QDir::Files, QDir::Name);
    for (const QString& typeName : trips) {
        const std::optional<QByteArray> type = readSmall(zone.filePath(typeName));
        QString tempName = typeName;
        tempName.replace(QLatin1String("_type"), QLatin1String("_temp"));
        const std::optional<QByteArray> limitText = readSmall(zone.filePath(tempName));
        const std::optional<std::int64_t> limit = limitText ? integer(*limitText) : std::nullopt;
        if (!type || !limit || *limit <= 0 || *temp < *limit) {
            continue;
        }
        const QByteArray kind = type->trimmed();
        if (kind == "critical") {
            state = worse(state, HostStats::ThermalState::Critical);
        } else if (kind == "hot") {
            state = worse(state, HostStats::ThermalState::Serious);
        } else if (kind == "passive") {
            state = worse(state, HostStats::ThermalState::Fair);
        }
    }
    return state;
}

} // namespace

LinuxHostStats::LinuxHostStats(QDBusConnection systemBus, Roots roots, QObject* parent)
    : QObject(parent)
    , bus_(std::move(systemBus))
    , roots_(std::move(roots)) {
    for (const ProfileService& profiles : profileServices) {
        const QString service = QString::fromLatin1(profiles.service);
        const QString path = QString::fromLatin1(profiles.path);
        bus_.connect(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                     QStringLiteral("PropertiesChanged"), this,
                     SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
        readProfile(service, path);
    }
}

QCoro::Task<> LinuxHostStats::readProfile(QString service, QString path) {
    QPointer<LinuxHostStats> self(this);
    // Named first: GCC 12 destroys temporaries of a co_await expression twice.
    const DBusCalls::Address daemon{service, path, service};
    const QString name = QStringLiteral("ActiveProfile");
    QCoro::Task<std::optional<QVariant>> reading = DBusCalls::property(bus_, daemon, name);
    const std::optional<QVariant> profile = co_await reading;
    if (self && profile && profile->typeId() == QMetaType::QString) {
        self->profile_ = profile->toString();
    }
}

void LinuxHostStats::propertiesChanged(const QString& interface, const QVariantMap& changed,
                                       const QStringList&) {
    bool known = false;
    for (const ProfileService& profiles : profileServices) {
        known = known || interface == QLatin1String(profiles.service);
    }
    const QVariant profile = DBusCalls::plain(changed.value(QStringLiteral("ActiveProfile")));
    if (known && profile.typeId() == QMetaType::QString) {
        profile_ = profile.toString();
    }
}

std::optional<HostStats::Memory> LinuxHostStats::memory() const {
    const std::optional<QByteArray> meminfo = readSmall(roots_.proc + QStringLiteral("/meminfo"));
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (!meminfo || pageSize <= 0) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> total = meminfoBytes(*meminfo, "MemTotal");
    const std::optional<std::uint64_t> available = meminfoBytes(*meminfo, "MemAvailable");
    if (!total || !available) {
        return std::nullopt;
    }
    // In use is what the kernel could not hand out without swapping; it has no wired or
    // compressed pages to tell apart.
    const std::uint64_t used = *available < *total ? *total - *available : 0;
    Memory memory;
    memory.physicalBytes = *total;
    memory.pageSize = static_cast<std::uint64_t>(pageSize);
    memory.activePages = used / memory.pageSize;
    return memory;
}

std::optional<HostStats::BootTime> LinuxHostStats::bootTime() const {
    const std::optional<QByteArray> uptime = readSmall(roots_.proc + QStringLiteral("/uptime"));
    if (!uptime) {
        return std::nullopt;
    }
    bool ok = false;
    const double seconds = uptime->simplified().split(' ').value(0).toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds < 0 || seconds > 1e10) {
        return std::nullopt;
    }
    using namespace std::chrono;
    const auto boot = system_clock::now() - duration_cast<microseconds>(duration<double>(seconds));
    const auto sinceEpoch = duration_cast<microseconds>(boot.time_since_epoch());
    const auto whole = floor<std::chrono::seconds>(sinceEpoch);
    return BootTime{whole.count(), (sinceEpoch - whole).count()};
}

HostStats::ThermalState LinuxHostStats::thermalState() const {
    const QDir root(roots_.thermal);
    ThermalState state = ThermalState::Other;
    for (const QString& name :
         root.entryList({QStringLiteral("thermal_zone*")}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        state = worse(state, zoneState(QDir(root.filePath(name))));
    }
    return state;
}

bool LinuxHostStats::lowPowerMode() const {
    return profile_ == QStringLiteral("power-saver");
}

HostStats::VolumeCapacity LinuxHostStats::homeVolumeCapacity() const {
    const std::string home = roots_.home.empty() ? QDir::homePath().toStdString() : roots_.home;
    struct statvfs volume {};
    if (::statvfs(home.c_str(), &volume) != 0) {
        return {};
    }
    const auto bytes = [&](std::uint64_t blocks) -> std::optional<std::int64_t> {
        std::uint64_t product = 0;
        if (__builtin_mul_overflow(blocks, static_cast<std::uint64_t>(volume.f_frsize), &product) ||
            product > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(product);
    };
    return VolumeCapacity{bytes(volume.f_blocks), bytes(volume.f_bavail)};
}

} // namespace corvane
