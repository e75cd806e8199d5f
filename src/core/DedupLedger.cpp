#include "core/DedupLedger.h"

#include "core/ContractError.h"
#include "core/DamagedFileError.h"
#include "core/JSON.h"
#include "core/PrivateFile.h"
#include "core/Uuid.h"

#include <algorithm>

namespace corvane {

namespace {

using namespace std::chrono;

constexpr sys_days referenceDate = year{2001} / January / 1;

// About 127 years either side of the reference date: any clamped instant stays well inside what
// the nanosecond clock can hold and subtract.
constexpr double furthestSeconds = 4e9;

// Rounded to the microsecond: within this range a double is exact to well under half a
// microsecond, so an instant of microsecond precision (a wire time, for one) comes back exactly
// and the window boundary holds across a restart.
DedupLedger::Instant instantFromSeconds(double seconds) {
    const double clamped = std::clamp(seconds, -furthestSeconds, furthestSeconds);
    return DedupLedger::Instant(referenceDate) + round<microseconds>(duration<double>(clamped));
}

} // namespace

double DedupLedger::referenceSeconds(Instant instant) {
    return duration<double>(instant - Instant(referenceDate)).count();
}

DedupLedger::DedupLedger(std::filesystem::path file)
    : file_(std::move(file)) {
    const std::optional<std::string> content = PrivateFile::read(file_);
    if (!content) {
        return;
    }
    // The reader's errors stay JSONReadError, their text led by the file's path.
    const auto unreadable = [this](const std::string& problem) {
        return JSONReadError(file_.string() + ": " + problem);
    };
    JSON document;
    try {
        document = JSON::parse(*content);
    } catch (const JSONReadError& error) {
        throw unreadable(error.what());
    }
    const JSON::Array* items = document.array();
    if (items == nullptr) {
        throw unreadable("expected an array");
    }
    // Shape first, then the ledger's own limits: a file of another shape is the reader's error
    // whatever else is wrong with it.
    std::vector<Entry> entries;
    entries.reserve(std::min(items->size(), maxEntries + 1));
    for (const JSON& item : *items) {
        const std::string* id = item.stringMember("id");
        const JSON* at = item.find("at");
        const std::optional<double> seconds = at != nullptr ? at->number() : std::nullopt;
        if (id == nullptr || !seconds) {
            throw unreadable("entry " + std::to_string(entries.size() + 1) +
                             ": expected an object with a string \"id\" and a number \"at\"");
        }
        entries.push_back({*id, *seconds, instantFromSeconds(*seconds)});
    }
    if (entries.size() > maxEntries) {
        throw DamagedFileError("invalid_ledger", file_, 0,
                               std::to_string(entries.size()) + " entries, more than " +
                                   std::to_string(maxEntries));
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!Uuid::isCanonical(entries[i].id)) {
            throw DamagedFileError("invalid_ledger", file_, 0,
                                   "entry " + std::to_string(i + 1) + ": \"id\" is not a UUID");
        }
    }
    entries_ = std::move(entries);
}

void DedupLedger::reserve(std::string_view id, Instant now) {
    if (!Uuid::isCanonical(id)) {
        throw ContractError("invalid_message");
    }
    // An entry is gone once it is 600 seconds old; entries stamped in the future stay.
    const Instant cutoff = now - retention;
    std::erase_if(entries_, [cutoff](const Entry& entry) { return entry.instant <= cutoff; });
    // Exact text: the same UUID in another letter case is another id.
    const bool seen = std::any_of(entries_.begin(), entries_.end(),
                                  [id](const Entry& entry) { return entry.id == id; });
    if (seen) {
        throw ContractError("duplicate_command");
    }
    entries_.push_back({std::string(id), referenceSeconds(now), now});
    if (entries_.size() > maxEntries) {
        entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(
                                                                entries_.size() - maxEntries));
    }
    // On failure the new entry stays in memory: a retry of the id in this process is still refused.
    save();
}

void DedupLedger::save() const {
    // Written entry by entry rather than as one JSON tree: a full ledger would otherwise build ten
    // thousand small maps on every accepted command. Each value still goes through the JSON writer.
    std::string text;
    text.reserve(entries_.size() * 72 + 2);
    text.push_back('[');
    for (const Entry& entry : entries_) {
        text.append(text.size() == 1 ? "{\"id\":" : ",{\"id\":");
        JSON(entry.id).appendData(text);
        text.append(",\"at\":");
        JSON(entry.at).appendData(text);
        text.push_back('}');
    }
    text.push_back(']');
    PrivateFile::write(text, file_);
}

} // namespace corvane
