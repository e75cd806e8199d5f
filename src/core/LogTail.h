#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>

namespace corvane {

// The lines of a JSON-lines log from its end backwards, for readers that want only the newest
// records (the window's Activity page, the assistants' recent activity). Reads only; safe on any
// thread.
class LogTail {
public:
    // How much of the log one step takes, walking back from its end.
    static constexpr std::uint64_t readChunk = 64 * 1024;

    // Hands each non-empty line of `file` to `take`, newest first, until `take` returns false or
    // the start of the file. The work is bounded by the lines taken, not by the log's length. No
    // file is an empty log; a symbolic link in its place is refused, never followed. Throws
    // FileError when the file exists and cannot be read.
    static void walk(const std::filesystem::path& file,
                     const std::function<bool(std::string_view line)>& take);
};

} // namespace corvane
