#include "window/DeviceStateRows.h"

#include <QStringList>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace corvane {

namespace {

const QString unavailable = QStringLiteral("Unavailable");

const JSON* path(const JSON& report, std::initializer_list<std::string_view> keys) {
    const JSON* at = &report;
    for (std::string_view key : keys) {
        at = at->find(key);
        if (at == nullptr) {
            return nullptr;
        }
    }
    return at;
}

std::optional<double> numberAt(const JSON& report, std::initializer_list<std::string_view> keys) {
    const JSON* value = path(report, keys);
    if (value == nullptr) {
        return std::nullopt;
    }
    const std::optional<double> number = value->number();
    if (!number || !std::isfinite(*number)) {
        return std::nullopt;
    }
    return number;
}

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

} // namespace

QString DeviceStateRows::gigabytes(double bytes) {
    return QString::asprintf("%.1f GB", bytes / 1'000'000'000.0);
}

QString DeviceStateRows::uptimeText(double seconds) {
    // A clock that went backwards says nothing about how long the computer has run.
    const std::int64_t minutes =
        seconds > 0 ? static_cast<std::int64_t>(std::floor(seconds / 60.0)) : 0;
    if (minutes < 60) {
        return QString::number(minutes) + u'm';
    }
    if (minutes < 1440) {
        return QString::number(minutes / 60) + QStringLiteral("h ") +
               QString::number(minutes % 60) + u'm';
    }
    return QString::number(minutes / 1440) + QStringLiteral("d ") +
           QString::number((minutes / 60) % 24) + u'h';
}

QString DeviceStateRows::battery(const JSON& report) {
    const std::optional<double> percent = numberAt(report, {"battery", "percent"});
    if (!percent) {
        return unavailable;
    }
    QString value = QString::number(std::llround(*percent)) + u'%';
    const JSON* charging = path(report, {"battery", "charging"});
    if (charging != nullptr && charging->isTrue()) {
        value += QStringLiteral(" · Charging");
    }
    return value;
}

QString DeviceStateRows::storage(const JSON& report) {
    const auto available = numberAt(report, {"system", "storage", "available_bytes"});
    const auto total = numberAt(report, {"system", "storage", "total_bytes"});
    if (!available || !total) {
        return unavailable;
    }
    return gigabytes(*available) + QStringLiteral(" free of ") + gigabytes(*total);
}

QString DeviceStateRows::memory(const JSON& report) {
    const auto used = numberAt(report, {"system", "memory", "used_bytes"});
    const auto total = numberAt(report, {"system", "memory", "total_bytes"});
    if (!used || !total) {
        return unavailable;
    }
    return QStringLiteral("About ") + gigabytes(*used) + QStringLiteral(" of ") +
           gigabytes(*total) + QStringLiteral(" in use");
}

std::optional<QString> DeviceStateRows::uptime(const JSON& report) {
    const auto seconds = numberAt(report, {"system", "uptime_seconds"});
    if (!seconds) {
        return std::nullopt;
    }
    return uptimeText(*seconds);
}

QString DeviceStateRows::thermal(const JSON& report) {
    const JSON* state = path(report, {"system", "thermal_state"});
    if (state == nullptr || !state->isString()) {
        return unavailable;
    }
    QString value = text(*state->string());
    bool wordStart = true;
    for (QChar& c : value) {
        if (c.isSpace()) {
            wordStart = true;
        } else if (wordStart) {
            c = c.toUpper();
            wordStart = false;
        }
    }
    return value;
}

QString DeviceStateRows::activeApp(const JSON& report) {
    const JSON* app = report.find("frontmost_app");
    if (app == nullptr || !app->isString() || app->string()->empty()) {
        return QStringLiteral("None");
    }
    return text(*app->string());
}

QString DeviceStateRows::openApps(const JSON& report) {
    const JSON* apps = report.find("running_apps");
    QStringList names;
    std::size_t count = 0;
    if (apps != nullptr && apps->isArray()) {
        for (const JSON& app : *apps->array()) {
            if (!app.isString()) {
                continue;
            }
            ++count;
            if (names.size() < 8) {
                names.append(text(*app.string()));
            }
        }
    }
    if (names.isEmpty()) {
        return QStringLiteral("None");
    }
    return names.join(QStringLiteral(", ")) + (count > 8 ? QStringLiteral("…") : QString());
}

std::optional<double> DeviceStateRows::volume(const JSON& report) {
    return numberAt(report, {"audio", "volume"});
}

QString DeviceStateRows::volumeLine(const JSON& report) {
    const std::optional<double> level = volume(report);
    if (!level) {
        return QStringLiteral("Output volume unavailable");
    }
    const JSON* audio = report.find("audio");
    const JSON* muted = audio != nullptr ? audio->find("muted") : nullptr;
    return QStringLiteral("Output volume: ") + QString::number(std::llround(*level)) +
           (muted != nullptr && muted->isTrue() ? QStringLiteral(" · Muted") : QString());
}

std::vector<DeviceStateRows::Row> DeviceStateRows::rows(const JSON& report) {
    std::vector<Row> out;
    out.emplace_back(QStringLiteral("Battery"), battery(report));
    out.emplace_back(QStringLiteral("Storage"), storage(report));
    out.emplace_back(QStringLiteral("Memory"), memory(report));
    if (std::optional<QString> up = uptime(report)) {
        out.emplace_back(QStringLiteral("Uptime"), *up);
    }
    out.emplace_back(QStringLiteral("Thermal"), thermal(report));
    out.emplace_back(QStringLiteral("Active app"), activeApp(report));
    out.emplace_back(QStringLiteral("Open apps"), openApps(report));
    return out;
}

} // namespace corvane
