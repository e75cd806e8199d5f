#include "window/ActivityLog.h"

#include "core/CommandFeedback.h"
#include "core/JSON.h"
#include "core/ReadOnlyFile.h"
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
        // As the log itself reads it: a symbolic link in its place is refused, never followed.
        const std::optional<ReadOnlyFile> log = ReadOnlyFile::open(file);
        // No log yet is an empty history.
        if (!log) {
            return rows;
        }
        // Walks back from the end a chunk at a time: only the newest records are shown, so the
        // work of one reading is bounded by them, not by the length of the log.
        std::uint64_t end = static_cast<std::uint64_t>(log->stamp().size);
        // The bytes after the last line feed read so far: the tail of a line whose start is in
        // an earlier chunk.
        std::string carry;
        std::string chunk;
        while (end > 0 && rows.size() < shown) {
            const std::uint64_t begin = end > readChunk ? end - readChunk : 0;
            chunk.resize(static_cast<std::size_t>(end - begin));
            chunk.resize(log->readAt(chunk.data(), chunk.size(), begin));
            chunk += carry;
            std::size_t lineEnd = chunk.size();
            while (rows.size() < shown) {
                const std::size_t newline =
                    lineEnd == 0 ? std::string::npos : chunk.rfind('\n', lineEnd - 1);
                if (newline == std::string::npos) {
                    break;
                }
                const std::string_view line(chunk.data() + newline + 1, lineEnd - newline - 1);
                if (std::optional<Row> found = line.empty() ? std::nullopt : row(line)) {
                    rows.push_back(std::move(*found));
                }
                lineEnd = newline;
            }
            carry.assign(chunk, 0, lineEnd);
            end = begin;
        }
        // The first line of the file has no line feed before it.
        if (end == 0 && rows.size() < shown && !carry.empty()) {
            if (std::optional<Row> found = row(carry)) {
                rows.push_back(std::move(*found));
            }
        }
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return rows;
}

} // namespace corvane
