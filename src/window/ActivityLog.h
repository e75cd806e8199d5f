#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace corvane {

// The Activity page's reading of the private command log: the newest final records in plain
// words. Reads only; safe on any thread (the page runs it on a worker).
class ActivityLog {
public:
    struct Row {
        QString action;
        QString outcome;
        QString time;
        friend bool operator==(const Row&, const Row&) = default;
    };

    static constexpr std::size_t shown = 20;
    static constexpr const char* unreadableText =
        "The local log could not be read. Your commands have not been altered.";
    static constexpr const char* emptyText = "Nothing here yet. Your next action will appear here.";

    // The last `shown` records whose "outcome" is not "received", newest first; malformed lines
    // are skipped. Absent when the file exists and cannot be read; no file is an empty history.
    static std::optional<std::vector<Row>> read(const std::filesystem::path& file);
    // One record's row; absent for a line that is not a final record.
    static std::optional<Row> row(std::string_view line);
};

} // namespace corvane
