#include "core/ReadOnlyFile.h"

#include "core/FileError.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace corvane {

namespace {

[[noreturn]] void fail(const char* operation, const std::filesystem::path& path, int errorNumber) {
    throw FileError(operation, path.string(), errorNumber);
}

} // namespace

std::optional<ReadOnlyFile> ReadOnlyFile::open(const std::filesystem::path& path) {
    int fd = -1;
    do {
        // A link planted in the private folder would have its target's content taken for ours.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        struct stat link {};
        if (errno == ELOOP && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            throw FileError("open", path.string(), ELOOP,
                            "a symbolic link, refused (replace it with the file itself)");
        }
        fail("open", path, errno);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        fail("stat", path, error);
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        fail("read", path, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    }
    return ReadOnlyFile(fd, path, PrivateFile::Stamp::of(info));
}

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1))
    , path_(std::move(other.path_))
    , stamp_(other.stamp_) {}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        stamp_ = other.stamp_;
    }
    return *this;
}

ReadOnlyFile::~ReadOnlyFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

PrivateFile::Stamp ReadOnlyFile::currentStamp() const {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
        fail("stat", path_, errno);
    }
    return PrivateFile::Stamp::of(info);
}

std::size_t ReadOnlyFile::readAt(char* buffer, std::size_t count, std::uint64_t offset) const {
    std::size_t filled = 0;
    while (filled < count) {
        const ssize_t got =
            ::pread(fd_, buffer + filled, count - filled, static_cast<off_t>(offset + filled));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("read", path_, errno);
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    return filled;
}

std::string ReadOnlyFile::readAll() const {
    std::string content;
    // One byte more than the size when opened, so that the end is seen without a second pass.
    content.resize(static_cast<std::size_t>(stamp_.size) + 1);
    std::size_t filled = 0;
    for (;;) {
        if (filled == content.size()) {
            // The file grew since it was opened: keep reading.
            content.resize(content.size() * 2 + 4096);
        }
        const std::size_t got = readAt(content.data() + filled, content.size() - filled, filled);
        filled += got;
        if (filled < content.size()) {
            break;
        }
    }
    content.resize(filled);
    return content;
}

} // namespace corvane
