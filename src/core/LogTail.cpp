#include "core/LogTail.h"

#include "core/ReadOnlyFile.h"

#include <optional>
#include <string>

namespace corvane {

void LogTail::walk(const std::filesystem::path& file,
                   const std::function<bool(std::string_view line)>& take) {
    const std::optional<ReadOnlyFile> log = ReadOnlyFile::open(file);
    if (!log) {
        return;
    }
    std::uint64_t end = static_cast<std::uint64_t>(log->stamp().size);
    // The bytes after the last line feed read so far: the tail of a line whose start is in an
    // earlier chunk.
    std::string carry;
    std::string chunk;
    bool wanted = true;
    while (end > 0 && wanted) {
        const std::uint64_t begin = end > readChunk ? end - readChunk : 0;
        chunk.resize(static_cast<std::size_t>(end - begin));
        chunk.resize(log->readAt(chunk.data(), chunk.size(), begin));
        chunk += carry;
        std::size_t lineEnd = chunk.size();
        while (wanted) {
            const std::size_t newline =
                lineEnd == 0 ? std::string::npos : chunk.rfind('\n', lineEnd - 1);
            if (newline == std::string::npos) {
                break;
            }
            const std::string_view line(chunk.data() + newline + 1, lineEnd - newline - 1);
            if (!line.empty()) {
                wanted = take(line);
            }
            lineEnd = newline;
        }
        carry.assign(chunk, 0, lineEnd);
        end = begin;
    }
    // The first line of the file has no line feed before it.
    if (end == 0 && wanted && !carry.empty()) {
        take(carry);
    }
}

} // namespace corvane
