#include "window/ActivityLog.h"

#include "core/CommandFeedback.h"
#include "core/JSON.h"
#include "core/LogTail.h"
#include "core/WireTime.h"

#include <QDateTime>
#include <QLocale>

#include <chrono>
#include <string>

namespace corvane {

namespace {

QString fromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString timeText(const JSON& record) {
    const std::string* created = record.stringMember("created_at");
    if (created == nullptr) {
        return {};
    }
    const std::optional<WireTime::Instant> instant = WireTime::parse(*created);
    if (!instant) {
        return {};
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(instant->time_since_epoch()).count();
    return QLocale::system().toString(QDateTime::fromMSecsSinceEpoch(ms).toLocalTime(),
                                      QLocale::ShortFormat);
}

} // namespace

std::optional<ActivityLog::Row> ActivityLog::row(std::string_view line) {
    JSON record;
    try {
        record = JSON::parse(line);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    const std::string* outcome = record.stringMember("outcome");
    if (!record.isObject() || outcome == nullptr || *outcome == "received") {
        return std::nullopt;
    }
    const std::string* action = record.stringMember("action");
    return Row{action == nullptr ? QStringLiteral("Unknown")
                                 : fromView(CommandFeedback::actionName(*action)),
               fromView(CommandFeedback::outcome(*outcome)), timeText(record)};
}

std::optional<std::vector<ActivityLog::Row>> ActivityLog::read(const std::filesystem::path& file) {
    std::vector<Row> rows;
    try {
        LogTail::walk(file, [&rows](std::string_view line) {
            if (std::optional<Row> found = row(line)) {
                rows.push_back(std::move(*found));
            }
            return rows.size() < shown;
        });
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return rows;
}

} // namespace corvane
