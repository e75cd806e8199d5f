#include "CorvaneCore/LocalForensicLog.h"

#include "CorvaneCore/ContractError.h"
#include "CorvaneCore/JSON.h"
#include "CorvaneCore/WireTime.h"

namespace corvane {

namespace {

// Calls `visit(offset, length)` for every non-empty line of `content`, in order.
template <typename Visit>
void forEachLine(std::string_view content, Visit&& visit) {
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string_view::npos) {
            end = content.size();
        }
        if (end > start) {
            visit(start, end - start);
        }
        start = end + 1;
    }
}

} // namespace

LocalForensicLog::LocalForensicLog(std::filesystem::path file)
    : file_(std::move(file)) {}

LocalForensicLog::Snapshot LocalForensicLog::readValidated() const {
    Snapshot snapshot;
    std::optional<std::string> content = PrivateFile::read(file_);
    if (!content) {
        return snapshot;
    }
    snapshot.content = std::move(*content);
    const std::string_view text = snapshot.content;
    forEachLine(text, [&](std::size_t offset, std::size_t length) {
        std::optional<Instant> createdAt;
        try {
            const JSON record = JSON::parse(text.substr(offset, length));
            if (const std::string* stamp = record.stringMember("created_at")) {
                createdAt = WireTime::parse(*stamp);
            }
        } catch (const JSONReadError&) {
        }
        if (!createdAt) {
            throw ContractError("invalid_local_log");
        }
        snapshot.lines.push_back({offset, length, *createdAt});
    });
    return snapshot;
}

void LocalForensicLog::append(const JSON& command, std::string_view outcome, Instant now) {
    const JSON* commandID = command.find("command_id");
    const JSON* action = command.find("action");
    const JSON* params = command.find("params");
    if (commandID == nullptr || action == nullptr || params == nullptr) {
        throw ContractError("invalid_message");
    }
    const std::string record = JSON(JSON::Object{
                                        {"command_id", *commandID},
                                        {"action", *action},
                                        {"params", *params},
                                        {"outcome", JSON(outcome)},
                                        {"created_at", JSON(WireTime::text(now))},
                                    })
                                   .data();

    // Reading and validating up to 10 MiB is most of an append's cost; skip it while the file is
    // provably the one the last append wrote.
    std::optional<Snapshot> read;
    const std::optional<PrivateFile::Stamp> current = PrivateFile::stamp(file_);
    if (!current) {
        read.emplace();
    } else if (!written_ || !writtenStamp_ || !(*writtenStamp_ == *current)) {
        read = readValidated();
    }
    const Snapshot& existing = read ? *read : *written_;

    // Ageing, then the size limit from the oldest end; the new record is always last.
    const Instant tooOld = now - maxAge;
    std::vector<const Line*> kept;
    kept.reserve(existing.lines.size());
    std::size_t total = record.size() + 1;
    for (const Line& line : existing.lines) {
        if (line.createdAt > tooOld) {
            kept.push_back(&line);
            total += line.length + 1;
        }
    }
    std::size_t first = 0;
    while (total > maxBytes && first < kept.size()) {
        total -= kept[first]->length + 1;
        ++first;
    }
    const bool keepRecord = total <= maxBytes;

    Snapshot next;
    next.content.reserve(keepRecord ? total : 0);
    next.lines.reserve(kept.size() - first + 1);
    for (std::size_t i = first; i < kept.size(); ++i) {
        const Line& line = *kept[i];
        next.lines.push_back({next.content.size(), line.length, line.createdAt});
        next.content.append(existing.content, line.offset, line.length);
        next.content.push_back('\n');
    }
    if (keepRecord) {
        next.lines.push_back({next.content.size(), record.size(), now});
        next.content.append(record);
        next.content.push_back('\n');
    }

    // A failed write leaves the file as it was, so what was remembered stays true.
    const std::optional<PrivateFile::Stamp> stamp = PrivateFile::write(next.content, file_);
    writtenStamp_ = stamp;
    if (stamp) {
        written_ = std::move(next);
    } else {
        written_.reset();
    }
}

std::vector<JSON> LocalForensicLog::recent(std::size_t limit) const {
    std::vector<JSON> records;
    const std::optional<std::string> content = PrivateFile::read(file_);
    if (!content || limit == 0) {
        return records;
    }
    const std::string_view text = *content;
    std::size_t end = text.size();
    while (end > 0 && records.size() < limit) {
        const std::size_t newline = text.rfind('\n', end - 1);
        const std::size_t start = newline == std::string_view::npos ? 0 : newline + 1;
        if (end > start) {
            try {
                JSON record = JSON::parse(text.substr(start, end - start));
                const std::string* outcome = record.stringMember("outcome");
                if (record.isObject() && (outcome == nullptr || *outcome != "received")) {
                    records.push_back(std::move(record));
                }
            } catch (const JSONReadError&) {
            }
        }
        end = start == 0 ? 0 : start - 1;
    }
    return records;
}

void LocalForensicLog::ensureRoom(std::size_t) const {}

} // namespace corvane
