#pragma once

#include "core/PrivateFile.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/statvfs.h>
#include <vector>

namespace corvane {

class JSON;

// The private JSON-lines record of every command and what became of it ("commands.jsonl"): one
// compact object per line, oldest first, each line ending in a line feed, with "command_id",
// "action", "params", "outcome" and "created_at" (wire time). Kept to lines younger than 90 days
// and to 10 MiB, rewritten whole through PrivateFile on every append.
//
// Between appends only each line's length, instant and kind stay in memory (16 bytes a line); the
// kept bytes are copied from the file itself at the next append, after checking that it is still
// the file this object wrote.
//
// Past the size limit, records of commands refused before anything ran go first, oldest first;
// only then the oldest of the rest. A peer sending commands that never run can therefore push out
// at most the room of its own newest records, not the trail of what did run.
class LocalForensicLog {
public:
    using Instant = std::chrono::system_clock::time_point;

    static constexpr std::chrono::seconds maxAge{7776000};
    static constexpr std::size_t maxBytes = 10485760;
    // Free space ensureRoom asks beyond the rewritten log itself: the rounding of the new file to
    // whole blocks and its metadata on any common file system, an outcome longer than the one the
    // caller measured, and what other programs may write while the action runs (up to 12 s for a
    // tool). Small beside any disk the agent can run from.
    static constexpr std::uint64_t roomMargin = 1048576;

    // The system calls tests replace to inject failures; each behaves like the POSIX call of the
    // same name.
    struct Calls {
        PrivateFile::Calls file;
        std::function<int(const char* path, struct statvfs* info)> statvfs;

        static Calls system();
    };

    // Records the path; nothing is read or created.
    explicit LocalForensicLog(std::filesystem::path file);
    LocalForensicLog(std::filesystem::path file, Calls calls);

    // Adds the record of `command` (an object with "command_id", "action" and "params") with
    // `outcome`, stamped `now`, drops lines 90 days old or older and the oldest lines beyond the
    // size limit, and rewrites the file. Kept lines are copied byte for byte, never re-encoded.
    // Throws
    // - ContractError "invalid_message" when `command` lacks one of the three members;
    // - JSONWriteError when the record cannot be written as JSON;
    // - DamagedFileError "invalid_local_log" naming the file and the line (counting every line,
    //   empty ones too, from 1) when an existing line is not a JSON object with a "created_at" in
    //   wire time (the file is left exactly as it was);
    // - FileError when the file cannot be read or written (the previous file stays intact), also
    //   when it keeps changing while it is being copied.
    // Nothing is written in any of these cases.
    void append(const JSON& command, std::string_view outcome, Instant now);

    // Checks that the file system holding the log has room for its next rewrite: the new file
    // exists beside the old one until it replaces it, so that is the log's current size plus a
    // record of `recordBytes` (recordSize of the record to come; the margin covers an outcome
    // longer than the one measured) plus roomMargin, at most the size limit plus the margin.
    // Throws FileError ENOSPC naming the log when there is not, or the FileError of statvfs.
    void ensureRoom(std::size_t recordBytes) const;

    // Whether `outcome` is a refusal made before the action could change anything (a malformed,
    // repeated, late or unknown command, a locked screen, a Shortcut not approved).
    static bool refusedBeforeRunning(std::string_view outcome) noexcept;

    // The size of the line append would write, without its line feed; throws as append does
    // before it reads the file.
    static std::size_t recordSize(const JSON& command, std::string_view outcome, Instant now);

    // For the Activity page: up to `limit` records, newest first, leaving out "received" records
    // and lines that do not read as JSON objects. Reads the file from its end, only as far back as
    // it needs. Throws FileError when the file cannot be read.
    std::vector<JSON> recent(std::size_t limit) const;

    const std::filesystem::path& file() const noexcept { return file_; }

    // What a line records, for the order in which the size limit removes lines.
    enum class Kind : std::uint8_t {
        Ran,      // an outcome of a command that ran, or one this log cannot tell
        Refused,  // refused before it ran, or "received" of a command later refused so
        Received, // "received" of a command whose outcome has not come yet: kept like Ran
    };

private:
    // One line of the file as this object last wrote it (lines fit: the file is at most
    // maxBytes). `idHash` pairs a "received" line with its command's outcome.
    struct Line {
        Instant createdAt;
        std::uint32_t length : 24;
        Kind kind : 8;
        std::uint32_t idHash;
    };
    static_assert(maxBytes < (1U << 24));
    static_assert(sizeof(Line) == 16);

    static std::string recordOf(const JSON& command, std::string_view outcome, Instant now);
    // One attempt; false when the file changed while its bytes were being copied.
    bool tryAppend(std::string_view record, Kind kind, std::uint32_t idHash, Instant now);

    std::filesystem::path file_;
    Calls calls_;
    // The lines the last append wrote, and the stamp the file had right after: while the file on
    // disk still has that stamp, nobody has touched it and the next append needs neither to read
    // nor to re-validate it.
    std::vector<Line> lines_;
    std::optional<PrivateFile::Stamp> writtenStamp_;
};

} // namespace corvane
