#include "core/LocalForensicLog.h"

#include "core/ContractError.h"
#include "core/DamagedFileError.h"
#include "core/FileError.h"
#include "core/JSON.h"
#include "core/ReadOnlyFile.h"
#include "core/WireTime.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <unordered_map>

namespace corvane {

namespace {

using Instant = LocalForensicLog::Instant;

constexpr std::size_t chunkSize = std::size_t{1} << 18;

// Appends that find the file changed under them each time give up after this many tries.
constexpr int attempts = 3;

// Thrown out of a write whose source changed while its bytes were being copied.
struct SourceChanged {};

using Kind = LocalForensicLog::Kind;

// A line of one version of the file, as found there.
struct Span {
    std::uint64_t offset;
    std::uint64_t length;
    Instant createdAt;
    // Followed by a line feed in the file (all but perhaps the last line).
    bool terminated;
    Kind kind;
    std::uint32_t idHash;
};

// What a line says about itself.
struct Reading {
    Instant createdAt;
    Kind kind;
    std::uint32_t idHash;
};

// FNV-1a over the command id's compact JSON text: enough to pair a "received" line with the
// outcome that follows it a few lines later.
std::uint32_t idHashOf(const JSON* commandID) {
    std::uint32_t hash = 2166136261U;
    if (commandID != nullptr) {
        for (const char byte : commandID->data()) {
            hash = (hash ^ static_cast<unsigned char>(byte)) * 16777619U;
        }
    }
    return hash;
}

Kind kindOf(const std::string* outcome) {
    if (outcome == nullptr) {
        return Kind::Ran;
    }
    if (*outcome == "received") {
        return Kind::Received;
    }
    return LocalForensicLog::refusedBeforeRunning(*outcome) ? Kind::Refused : Kind::Ran;
}

// An outcome settles the kind of its command's latest "received" line still waiting for one.
void settle(std::vector<Span>& lines, Kind kind, std::uint32_t idHash) {
    if (kind == Kind::Received) {
        return;
    }
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        if (line->kind == Kind::Received && line->idHash == idHash) {
            line->kind = kind;
            return;
        }
    }
}

Reading readingOf(std::string_view text, const std::filesystem::path& file, std::size_t number) {
    const auto damaged = [&](const std::string& problem) {
        return DamagedFileError("invalid_local_log", file, number, problem);
    };
    JSON record;
    try {
        record = JSON::parse(text);
    } catch (const JSONReadError& error) {
        throw damaged(std::string("not JSON (") + error.what() + ")");
    }
    if (!record.isObject()) {
        throw damaged("not a JSON object");
    }
    const std::string* stamp = record.stringMember("created_at");
    if (stamp == nullptr) {
        throw damaged("no \"created_at\" text");
    }
    const std::optional<Instant> createdAt = WireTime::parse(*stamp);
    if (!createdAt) {
        throw damaged("\"created_at\" is not a wire time");
    }
    return {*createdAt, kindOf(record.stringMember("outcome")),
            idHashOf(record.find("command_id"))};
}

// Reads and validates the whole file a chunk at a time, keeping only where each non-empty line
// is and its instant.
std::vector<Span> scan(const ReadOnlyFile& source) {
    std::vector<Span> lines;
    // The "received" lines still waiting for their outcome, by command: one look-up per line.
    std::unordered_map<std::uint32_t, std::size_t> waiting;
    std::string buffer(chunkSize, '\0');
    // A line begun in an earlier chunk, and where it began.
    std::string pending;
    std::uint64_t pendingOffset = 0;
    std::size_t number = 0;
    const auto finish = [&](std::string_view text, std::uint64_t offset, bool terminated) {
        ++number;
        if (!text.empty()) {
            const Reading reading = readingOf(text, source.path(), number);
            if (reading.kind == Kind::Received) {
                waiting[reading.idHash] = lines.size();
            } else if (const auto found = waiting.find(reading.idHash); found != waiting.end()) {
                lines[found->second].kind = reading.kind;
                waiting.erase(found);
            }
            lines.push_back(
                {offset, text.size(), reading.createdAt, terminated, reading.kind, reading.idHash});
        }
    };
    std::uint64_t position = 0;
    for (;;) {
        const std::size_t got = source.readAt(buffer.data(), buffer.size(), position);
        const std::string_view chunk(buffer.data(), got);
        std::size_t start = 0;
        for (std::size_t end = chunk.find('\n'); end != std::string_view::npos;
             end = chunk.find('\n', start)) {
            if (pending.empty()) {
                finish(chunk.substr(start, end - start), position + start, true);
            } else {
                pending.append(chunk.substr(start, end - start));
                finish(pending, pendingOffset, true);
                pending.clear();
            }
            start = end + 1;
        }
        if (start < got) {
            if (pending.empty()) {
                pendingOffset = position + start;
            }
            pending.append(chunk.substr(start));
        }
        position += got;
        if (got < buffer.size()) {
            break;
        }
    }
    if (!pending.empty()) {
        finish(pending, pendingOffset, false);
    }
    return lines;
}

} // namespace

LocalForensicLog::Calls LocalForensicLog::Calls::system() {
    Calls calls;
    calls.file = PrivateFile::Calls::system();
    calls.statvfs = [](const char* path, struct statvfs* info) {
        return ::statvfs(path, info);
    };
    return calls;
}

LocalForensicLog::LocalForensicLog(std::filesystem::path file)
    : LocalForensicLog(std::move(file), Calls::system()) {}

LocalForensicLog::LocalForensicLog(std::filesystem::path file, Calls calls)
    : file_(std::move(file))
    , calls_(std::move(calls)) {}

std::string LocalForensicLog::recordOf(const JSON& command, std::string_view outcome, Instant now) {
    const JSON* commandID = command.find("command_id");
    const JSON* action = command.find("action");
    const JSON* params = command.find("params");
    if (commandID == nullptr || action == nullptr || params == nullptr) {
        throw ContractError("invalid_message");
    }
    return JSON(JSON::Object{
                    {"command_id", *commandID},
                    {"action", *action},
                    {"params", *params},
                    {"outcome", JSON(outcome)},
                    {"created_at", JSON(WireTime::text(now))},
                })
        .data();
}

std::size_t LocalForensicLog::recordSize(const JSON& command, std::string_view outcome,
                                         Instant now) {
    return recordOf(command, outcome, now).size();
}

bool LocalForensicLog::refusedBeforeRunning(std::string_view outcome) noexcept {
    // Only codes raised before an action could change anything; an outcome that may come after
    // (a lost session, a storage failure, a time-out) counts as run.
    static constexpr std::string_view refusals[] = {
        "action_not_allowlisted", "action_unsupported", "command_expired",    "device_locked",
        "duplicate_command",      "invalid_deadline",   "invalid_message",    "invalid_params",
        "invalid_shortcut_name",  "invalid_url",        "lock_state_unknown",
    };
    return std::find(std::begin(refusals), std::end(refusals), outcome) != std::end(refusals);
}

void LocalForensicLog::append(const JSON& command, std::string_view outcome, Instant now) {
    const std::string record = recordOf(command, outcome, now);
    const std::string outcomeText(outcome);
    const Kind kind = kindOf(&outcomeText);
    const std::uint32_t idHash = idHashOf(command.find("command_id"));
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (tryAppend(record, kind, idHash, now)) {
            return;
        }
    }
    throw FileError("read", file_.string(), EAGAIN);
}

bool LocalForensicLog::tryAppend(std::string_view record, Kind kind, std::uint32_t idHash,
                                 Instant now) {
    const std::optional<ReadOnlyFile> source = ReadOnlyFile::open(file_);

    // Reading and validating up to 10 MiB is most of an append's cost; skip it while the file is
    // provably the one the last append wrote.
    std::vector<Span> existing;
    if (source && writtenStamp_ && source->stamp() == *writtenStamp_) {
        existing.reserve(lines_.size());
        std::uint64_t offset = 0;
        for (const Line& line : lines_) {
            existing.push_back({offset, line.length, line.createdAt, true, line.kind, line.idHash});
            offset += line.length + 1;
        }
        if (offset != static_cast<std::uint64_t>(source->stamp().size)) {
            existing = scan(*source);
        }
    } else if (source) {
        existing = scan(*source);
    }

    // Ageing, then the size limit; the new record is always last.
    const Instant tooOld = now - maxAge;
    std::vector<const Span*> kept;
    kept.reserve(existing.size());
    std::uint64_t total = record.size() + 1;
    for (const Span& line : existing) {
        if (line.createdAt > tooOld) {
            kept.push_back(&line);
            total += line.length + 1;
        }
    }
    // Refused commands go first, then the oldest of the rest; the new record is removed only if it
    // alone exceeds the limit.
    settle(existing, kind, idHash);
    for (const Span*& line : kept) {
        if (total <= maxBytes) {
            break;
        }
        if (line->kind == Kind::Refused) {
            total -= line->length + 1;
            line = nullptr;
        }
    }
    for (const Span*& line : kept) {
        if (total <= maxBytes) {
            break;
        }
        if (line != nullptr) {
            total -= line->length + 1;
            line = nullptr;
        }
    }
    std::erase(kept, nullptr);
    const bool keepRecord = total <= maxBytes;

    // Kept lines that follow each other in the file are copied in one go, line feeds included.
    struct Run {
        std::uint64_t offset;
        std::uint64_t length;
        bool terminated;
    };
    std::vector<Run> runs;
    std::vector<Line> lines;
    lines.reserve(kept.size() + 1);
    for (const Span* keptLine : kept) {
        const Span& line = *keptLine;
        lines.push_back(
            {line.createdAt, static_cast<std::uint32_t>(line.length), line.kind, line.idHash});
        if (!runs.empty() && runs.back().terminated &&
            runs.back().offset + runs.back().length == line.offset) {
            runs.back().length += line.length + (line.terminated ? 1 : 0);
            runs.back().terminated = line.terminated;
        } else {
            runs.push_back({line.offset, line.length + (line.terminated ? 1 : 0), line.terminated});
        }
    }
    if (keepRecord) {
        lines.push_back({now, static_cast<std::uint32_t>(record.size()), kind, idHash});
    }

    const auto produce = [&](PrivateFile::Output& output) {
        for (const Run& run : runs) {
            if (output.copy(*source, run.offset, run.length) != run.length) {
                throw SourceChanged{};
            }
            if (!run.terminated) {
                output.write("\n");
            }
        }
        // What was copied is what was checked only if nobody wrote to the file meanwhile.
        if (source && !(source->currentStamp() == source->stamp())) {
            throw SourceChanged{};
        }
        if (keepRecord) {
            output.write(record);
            output.write("\n");
        }
    };
    std::optional<PrivateFile::Stamp> stamp;
    try {
        stamp = PrivateFile::write(produce, file_, calls_.file);
    } catch (const SourceChanged&) {
        return false;
    }
    // A failed write leaves the file as it was (or, after a failed directory sync, with another
    // stamp), so what was remembered stays true.
    writtenStamp_ = stamp;
    if (stamp) {
        lines_ = std::move(lines);
    } else {
        lines_ = {};
    }
    return true;
}

void LocalForensicLog::ensureRoom(std::size_t recordBytes) const {
    const std::optional<PrivateFile::Stamp> current = PrivateFile::stamp(file_);
    const std::uint64_t size = current ? static_cast<std::uint64_t>(current->size) : 0;
    const std::uint64_t rewritten = std::min<std::uint64_t>(
        size + std::min<std::uint64_t>(recordBytes, maxBytes) + 1, maxBytes);
    const std::uint64_t needed = rewritten + roomMargin;

    // The directory is made at the first append: until then the nearest existing ancestor tells.
    std::filesystem::path probe = file_.parent_path();
    if (probe.empty()) {
        probe = ".";
    }
    struct statvfs info {};
    while (calls_.statvfs(probe.c_str(), &info) != 0) {
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (error != ENOENT || probe == probe.parent_path() || !probe.has_parent_path()) {
            throw FileError("statvfs", probe.string(), error);
        }
        probe = probe.parent_path();
    }
    std::uint64_t available = 0;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(info.f_bavail),
                               static_cast<std::uint64_t>(info.f_frsize), &available)) {
        available = UINT64_MAX;
    }
    if (available < needed) {
        throw FileError("find " + std::to_string(needed) + " free bytes for", file_.string(),
                        ENOSPC);
    }
}

std::vector<JSON> LocalForensicLog::recent(std::size_t limit) const {
    std::vector<JSON> records;
    const std::optional<ReadOnlyFile> source = ReadOnlyFile::open(file_);
    if (!source || limit == 0) {
        return records;
    }
    // `window` holds the bytes from `position` to the end of the lines not yet looked at.
    std::uint64_t position = static_cast<std::uint64_t>(source->stamp().size);
    std::string window;
    while (records.size() < limit) {
        const std::size_t newline = window.rfind('\n');
        if (newline == std::string::npos && position > 0) {
            // Growing reads keep a long line's cost linear.
            const std::size_t count = static_cast<std::size_t>(
                std::min<std::uint64_t>(position, std::max(chunkSize, window.size())));
            position -= count;
            std::string before(count, '\0');
            if (source->readAt(before.data(), count, position) != count) {
                break; // cut short meanwhile: what is left is no longer what was measured
            }
            before.append(window);
            window.swap(before);
            continue;
        }
        const std::size_t start = newline == std::string::npos ? 0 : newline + 1;
        if (start < window.size()) {
            try {
                JSON record = JSON::parse(std::string_view(window).substr(start));
                const std::string* outcome = record.stringMember("outcome");
                if (record.isObject() && (outcome == nullptr || *outcome != "received")) {
                    records.push_back(std::move(record));
                }
            } catch (const JSONReadError&) {
            }
        }
        if (newline == std::string::npos) {
            break;
        }
        window.resize(newline);
    }
    return records;
}

} // namespace corvane
