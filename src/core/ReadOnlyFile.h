#pragma once

#include "core/PrivateFile.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace corvane {

// A regular file open for reading, closed with the object, with the stamp it had when opened:
// what was checked against that stamp is what is read, even if the name is replaced meanwhile.
// Every failure is a FileError naming the file.
class ReadOnlyFile {
public:
    // Absent when nothing exists at `path`. Anything but a regular file is a FileError (EISDIR for
    // a directory, ELOOP for a symbolic link, which is never followed, EINVAL for anything else);
    // opening never blocks on a FIFO.
    static std::optional<ReadOnlyFile> open(const std::filesystem::path& path);

    ReadOnlyFile(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    ~ReadOnlyFile();

    int fd() const noexcept { return fd_; }
    const std::filesystem::path& path() const noexcept { return path_; }
    // As it was when opened.
    const PrivateFile::Stamp& stamp() const noexcept { return stamp_; }
    // As it is now: differs from stamp() once anyone has written to the file.
    PrivateFile::Stamp currentStamp() const;

    // Reads up to `count` bytes at `offset` into `buffer`; fewer only at the end of the file.
    std::size_t readAt(char* buffer, std::size_t count, std::uint64_t offset) const;
    // The whole content, up to the end of the file as it is while reading.
    std::string readAll() const;

private:
    ReadOnlyFile(int fd, std::filesystem::path path, const PrivateFile::Stamp& stamp)
        : fd_(fd)
        , path_(std::move(path))
        , stamp_(stamp) {}

    int fd_;
    std::filesystem::path path_;
    PrivateFile::Stamp stamp_;
};

} // namespace corvane
