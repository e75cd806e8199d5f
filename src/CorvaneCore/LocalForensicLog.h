#pragma once

#include "CorvaneCore/PrivateFile.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

class JSON;

// The private JSON-lines record of every command and what became of it ("commands.jsonl"): one
// compact object per line, oldest first, each line ending in a line feed, with "command_id",
// "action", "params", "outcome" and "created_at" (wire time). Kept to lines younger than 90 days
// and to 10 MiB, rewritten whole through PrivateFile on every append.
class LocalForensicLog {
public:
    using Instant = std::chrono::system_clock::time_point;

    static constexpr std::chrono::seconds maxAge{7776000};
    static constexpr std::size_t maxBytes = 10485760;

    // Records the path; nothing is read or created.
    explicit LocalForensicLog(std::filesystem::path file);

    // Adds the record of `command` (an object with "command_id", "action" and "params") with
    // `outcome`, stamped `now`, drops lines 90 days old or older and the oldest lines beyond the
    // size limit, and rewrites the file. Kept lines are copied byte for byte, never re-encoded.
    // Throws
    // - ContractError "invalid_message" when `command` lacks one of the three members;
    // - JSONWriteError when the record cannot be written as JSON;
    // - ContractError "invalid_local_log" when an existing line is not a JSON object with a
    //   "created_at" in wire time (the file is left exactly as it was);
    // - FileError when the file cannot be read or written (the previous file stays intact).
    // Nothing is written in any of these cases.
    void append(const JSON& command, std::string_view outcome, Instant now);

    // For the Activity page: up to `limit` records, newest first, leaving out "received" records
    // and lines that do not read as JSON objects. Throws FileError when the file cannot be read.
    std::vector<JSON> recent(std::size_t limit) const;

    const std::filesystem::path& file() const noexcept { return file_; }

    // Throws FileError (ENOSPC) unless the file system can hold `bytes` more than the log.
    void ensureRoom(std::size_t bytes) const;

private:
    struct Line {
        std::size_t offset;
        std::size_t length;
        Instant createdAt;
    };
    // The validated lines of one version of the file.
    struct Snapshot {
        std::string content;
        std::vector<Line> lines;
    };

    Snapshot readValidated() const;

    std::filesystem::path file_;
    // What the last append wrote, and the stamp the file had right after: while the file on disk
    // still has that stamp, nobody has touched it and the next append needs neither to read nor
    // to re-validate it.
    std::optional<Snapshot> written_;
    std::optional<PrivateFile::Stamp> writtenStamp_;
};

} // namespace corvane
