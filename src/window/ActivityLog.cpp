#include "window/ActivityLog.h"

#include "core/CommandFeedback.h"
#include "core/JSON.h"
#include "core/PrivateFile.h"
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
    std::optional<std::string> content;
    try {
        // As the log itself reads it: a symbolic link in its place is refused, never followed.
        content = PrivateFile::read(file);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    // No log yet is an empty history.
    if (!content) {
        return std::vector<Row>{};
    }
    const std::string& text = *content;
    // Walks back from the end: only the newest records are shown, so most of a long log is never
    // parsed.
    std::vector<Row> rows;
    std::size_t end = text.size();
    while (end > 0 && rows.size() < shown) {
        const std::size_t newline = text.rfind('\n', end - 1);
        const std::size_t begin = newline == std::string::npos ? 0 : newline + 1;
        const std::string_view line(text.data() + begin, end - begin);
        if (!line.empty()) {
            if (std::optional<Row> found = row(line)) {
                rows.push_back(std::move(*found));
            }
        }
        if (newline == std::string::npos) {
            break;
        }
        end = newline;
    }
    return rows;
}

} // namespace corvane
