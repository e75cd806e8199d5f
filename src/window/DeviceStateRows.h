#pragma once

#include "core/JSON.h"

#include <QString>

#include <optional>
#include <utility>
#include <vector>

namespace corvane {

// The This Mac page's reading of a device report: the status rows and the volume line.
class DeviceStateRows {
public:
    using Row = std::pair<QString, QString>;

    // Battery, Storage, Memory, Uptime (left out without a number), Thermal, Active app, Open apps.
    static std::vector<Row> rows(const JSON& report);

    static QString battery(const JSON& report);
    static QString storage(const JSON& report);
    static QString memory(const JSON& report);
    static std::optional<QString> uptime(const JSON& report);
    static QString thermal(const JSON& report);
    static QString activeApp(const JSON& report);
    static QString openApps(const JSON& report);
    // "Output volume: N", with " · Muted" when the output is muted, or "Output volume
    // unavailable".
    static QString volumeLine(const JSON& report);
    // The report's volume level, when it has one.
    static std::optional<double> volume(const JSON& report);

    // 42m, 3h 5m, 2d 7h.
    static QString uptimeText(double seconds);
    // "%.1f GB" with GB = 10^9 bytes.
    static QString gigabytes(double bytes);
};

} // namespace corvane
