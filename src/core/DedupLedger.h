#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The ids of the commands accepted in the last ten minutes, persisted so that a command delivered
// twice (a relay retry, a repeated local request) runs at most once, across restarts too.
//
// File format: a JSON array, oldest first, of {"id": <UUID text>, "at": <seconds since
// 2001-01-01T00:00:00Z as a number>}.
class DedupLedger {
public:
    using Instant = std::chrono::system_clock::time_point;

    static constexpr std::chrono::seconds retention{600};
    static constexpr std::size_t maxEntries = 10000;

    // Loads the ledger; a missing file is an empty ledger. Throws, each naming the file in its
    // what():
    // - FileError when the file cannot be read;
    // - JSONReadError when it is not JSON, and also when it is JSON of another shape than the
    //   format above (not an array, an element that is not an object, "id" not a string, "at" not
    //   a number): like a syntax error, it is the reader's error, for the caller to judge;
    // - DamagedFileError "invalid_ledger" for more than 10000 entries or an id that is not a UUID
    //   in canonical text form.
    explicit DedupLedger(std::filesystem::path file);

    // Accepts `id` once within the retention window and rewrites the file. Throws ContractError
    // "invalid_message" (not a canonical UUID; nothing changes) or "duplicate_command" (file not
    // written), or the FileError of the write, in which case the id stays reserved in memory.
    void reserve(std::string_view id, Instant now);

    std::size_t size() const noexcept { return entries_.size(); }
    const std::filesystem::path& file() const noexcept { return file_; }

    // Seconds since 2001-01-01T00:00:00Z, the unit of "at".
    static double referenceSeconds(Instant instant);

private:
    struct Entry {
        std::string id;
        // As stored in the file, written back unchanged.
        double at;
        // `at` as an instant (clamped to a range the clock can subtract safely); entries made in
        // this process keep the exact instant, so the window boundary is not blurred by rounding.
        Instant instant;
    };

    void save() const;

    std::vector<Entry> entries_;
    std::filesystem::path file_;
};

} // namespace corvane
