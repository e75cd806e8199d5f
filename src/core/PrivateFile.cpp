#include "core/PrivateFile.h"

#include "core/FileError.h"
#include "core/ReadOnlyFile.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace corvane {

namespace {

namespace fs = std::filesystem;

// Temporary files are named "." + target + marker + suffix: hidden, next to their target, and
// told apart from anything else in the directory by the marker and the exact suffix form.
constexpr std::string_view temporaryMarker = ".tmp-";
constexpr std::size_t suffixDigits = 16;

[[noreturn]] void fail(const std::string& operation, const fs::path& path, int errorNumber) {
    throw FileError(operation, path.string(), errorNumber);
}

bool isTemporaryName(std::string_view name) {
    if (name.size() < 1 + 1 + temporaryMarker.size() + suffixDigits || name.front() != '.') {
        return false;
    }
    const std::string_view suffix = name.substr(name.size() - suffixDigits);
    const std::string_view rest = name.substr(0, name.size() - suffixDigits);
    if (!rest.ends_with(temporaryMarker)) {
        return false;
    }
    // Targets "." and ".." are refused by write, so their look-alikes are not ours.
    const std::string_view target = rest.substr(1, rest.size() - 1 - temporaryMarker.size());
    if (target == "." || target == "..") {
        return false;
    }
    return std::all_of(suffix.begin(), suffix.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Makes a new entry in `directory` durable, so that a file written below a directory created
// just now survives a crash too.
void syncDirectory(const fs::path& directory) {
    const int fd =
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        fail("open", directory, errno);
    }
    const int result = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (result != 0) {
        fail("fsync", directory, error);
    }
}

// Creates `directory` and any missing ancestors. Directories made here get 0700 whatever the
// umask; existing ones are left as they are (only the parent itself is tightened, by the caller).
void makeDirectories(const fs::path& directory) {
    fs::path partial;
    for (const fs::path& component : directory) {
        partial /= component;
        if (component == partial.root_path() || component.empty()) {
            continue;
        }
        if (::mkdir(partial.c_str(), PrivateFile::directoryMode) == 0) {
            if (::chmod(partial.c_str(), PrivateFile::directoryMode) != 0) {
                fail("chmod", partial, errno);
            }
            syncDirectory(partial.parent_path());
            continue;
        }
        const int error = errno;
        if (error != EEXIST) {
            fail("mkdir", partial, error);
        }
        struct stat info {};
        if (::stat(partial.c_str(), &info) != 0) {
            fail("stat", partial, errno);
        }
        if (!S_ISDIR(info.st_mode)) {
            fail("mkdir", partial, ENOTDIR);
        }
    }
}

// A descriptor closed on scope exit, for the paths where a close error no longer matters.
class Descriptor {
public:
    explicit Descriptor(int fd = -1)
        : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// The temporary file until it has been renamed over the target: on any failure before that it
// is closed (errors ignored) and unlinked, so the old file stays and nothing is left behind.
class Temporary {
public:
    Temporary(const PrivateFile::Calls& calls, int dirFd)
        : calls_(calls)
        , dirFd_(dirFd) {}
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary() {
        if (fd_ >= 0) {
            calls_.close(fd_);
        }
        if (!name_.empty()) {
            ::unlinkat(dirFd_, name_.c_str(), 0);
        }
    }

    void create(const std::string& targetName, const fs::path& directory) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            char suffix[suffixDigits + 1];
            std::snprintf(
                suffix, sizeof suffix, "%016llx",
                static_cast<unsigned long long>(QRandomGenerator::system()->generate64()));
            std::string name = "." + targetName + std::string(temporaryMarker) + suffix;
            const int fd =
                ::openat(dirFd_, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW,
                         PrivateFile::fileMode);
            if (fd >= 0) {
                fd_ = fd;
                name_ = std::move(name);
                return;
            }
            if (errno != EEXIST && errno != EINTR) {
                fail("open", directory / name, errno);
            }
        }
        fail("open", directory / ("." + targetName + std::string(temporaryMarker) + "*"), EEXIST);
    }

    int fd() const noexcept { return fd_; }
    const std::string& name() const noexcept { return name_; }
    fs::path path(const fs::path& directory) const { return directory / name_; }

    // Closes the file, checking the result. The descriptor is gone afterwards either way.
    int close() noexcept {
        const int result = calls_.close(std::exchange(fd_, -1));
        // Linux releases the descriptor even when close is interrupted, and the data has been
        // synchronised already: nothing is lost.
        return result != 0 && errno == EINTR ? 0 : result;
    }

    // After the rename the name belongs to the target: nothing to clean up any more.
    void renamed() noexcept { name_.clear(); }

private:
    const PrivateFile::Calls& calls_;
    int dirFd_;
    int fd_ = -1;
    std::string name_;
};

void writeAll(const PrivateFile::Calls& calls, int fd, std::string_view data,
              const fs::path& path) {
    const char* next = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t written = calls.write(fd, next, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("write", path, errno);
        }
        if (written == 0) {
            // No progress and no error: report it rather than spin.
            fail("write", path, EIO);
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
}

void syncFile(const PrivateFile::Calls& calls, int fd, const fs::path& path) {
    int result = 0;
    do {
        result = calls.fsync(fd);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        fail("fsync", path, errno);
    }
}

} // namespace

PrivateFile::Stamp PrivateFile::Stamp::of(const struct stat& info) noexcept {
    Stamp stamp;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = info.st_size;
    stamp.modified = info.st_mtim;
    stamp.changed = info.st_ctim;
    return stamp;
}

bool operator==(const PrivateFile::Stamp& a, const PrivateFile::Stamp& b) noexcept {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec &&
           a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
}

PrivateFile::Calls PrivateFile::Calls::system() {
    Calls calls;
    calls.write = [](int fd, const void* bytes, std::size_t count) {
        return ::write(fd, bytes, count);
    };
    calls.fsync = [](int fd) {
        return ::fsync(fd);
    };
    calls.close = [](int fd) {
        return ::close(fd);
    };
    calls.renameat = [](int dirFd, const char* from, int toDirFd, const char* to) {
        return ::renameat(dirFd, from, toDirFd, to);
    };
    calls.copy_file_range = [](int fromFd, off_t* fromOffset, int toFd, off_t* toOffset,
                               std::size_t count, unsigned flags) {
        return ::copy_file_range(fromFd, fromOffset, toFd, toOffset, count, flags);
    };
    return calls;
}

void PrivateFile::Output::write(std::string_view bytes) {
    writeAll(calls_, fd_, bytes, path_);
}

std::uint64_t PrivateFile::Output::copy(const ReadOnlyFile& source, std::uint64_t offset,
                                        std::uint64_t length) {
    const std::string operation = "copy " + source.path().string() + " to";
    std::uint64_t done = 0;
    // In the kernel first; where the file system cannot (or claims an early end, as some do),
    // through a buffer, whose reads also decide where the source really ends.
    bool inKernel = true;
    std::vector<char> buffer;
    while (done < length) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(
            length - done, inKernel ? std::uint64_t{1} << 30 : std::uint64_t{1} << 18));
        if (inKernel) {
            off_t from = static_cast<off_t>(offset + done);
            const ssize_t copied =
                calls_.copy_file_range(source.fd(), &from, fd_, nullptr, chunk, 0);
            if (copied > 0) {
                done += static_cast<std::uint64_t>(copied);
                continue;
            }
            if (copied < 0 && errno == EINTR) {
                continue;
            }
            if (copied < 0 && errno != EXDEV && errno != EINVAL && errno != ENOSYS &&
                errno != EOPNOTSUPP) {
                fail(operation, path_, errno);
            }
            inKernel = false;
            continue;
        }
        buffer.resize(chunk);
        const std::size_t got = source.readAt(buffer.data(), chunk, offset + done);
        write(std::string_view(buffer.data(), got));
        done += got;
        if (got < chunk) {
            break;
        }
    }
    return done;
}

std::optional<PrivateFile::Stamp> PrivateFile::write(std::string_view data, const fs::path& path) {
    static const Calls systemCalls = Calls::system();
    return write(data, path, systemCalls);
}

std::optional<PrivateFile::Stamp> PrivateFile::write(std::string_view data, const fs::path& path,
                                                     const Calls& calls) {
    return write([data](Output& output) { output.write(data); }, path, calls);
}

std::optional<PrivateFile::Stamp> PrivateFile::write(const Producer& produce,
                                                     const fs::path& path) {
    static const Calls systemCalls = Calls::system();
    return write(produce, path, systemCalls);
}

std::optional<PrivateFile::Stamp> PrivateFile::write(const Producer& produce, const fs::path& path,
                                                     const Calls& calls) {
    const std::string name = path.filename().string();
    if (name.empty() || name == "." || name == "..") {
        fail("write", path, EISDIR);
    }
    fs::path directory = path.parent_path();
    if (directory.empty()) {
        directory = ".";
    }

    makeDirectories(directory);
    const Descriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) {
        fail("open", directory, errno);
    }
    // Also tightens a directory that existed with wider permissions.
    if (::fchmod(dir.get(), directoryMode) != 0) {
        fail("chmod", directory, errno);
    }

    Temporary temporary(calls, dir.get());
    temporary.create(name, directory);
    const fs::path temporaryPath = temporary.path(directory);
    // The creation mode went through the umask; set it outright.
    if (::fchmod(temporary.fd(), fileMode) != 0) {
        fail("chmod", temporaryPath, errno);
    }
    Output output(calls, temporary.fd(), temporaryPath);
    produce(output);
    syncFile(calls, temporary.fd(), temporaryPath);
    struct stat written {};
    if (::fstat(temporary.fd(), &written) != 0) {
        fail("stat", temporaryPath, errno);
    }
    if (temporary.close() != 0) {
        fail("close", temporaryPath, errno);
    }
    // rename replaces whatever entry has the name, a symbolic link included, without following it.
    if (calls.renameat(dir.get(), temporary.name().c_str(), dir.get(), name.c_str()) != 0) {
        fail("rename", path, errno);
    }
    temporary.renamed();
    syncFile(calls, dir.get(), directory);

    struct stat placed {};
    if (::fstatat(dir.get(), name.c_str(), &placed, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::nullopt;
    }
    if (placed.st_dev != written.st_dev || placed.st_ino != written.st_ino) {
        return std::nullopt;
    }
    return Stamp::of(placed);
}

std::optional<std::string> PrivateFile::read(const fs::path& path) {
    const std::optional<ReadOnlyFile> file = ReadOnlyFile::open(path);
    if (!file) {
        return std::nullopt;
    }
    return file->readAll();
}

std::optional<PrivateFile::Stamp> PrivateFile::stamp(const fs::path& path) {
    struct stat info {};
    if (::fstatat(AT_FDCWD, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        fail("stat", path, errno);
    }
    return Stamp::of(info);
}

std::size_t PrivateFile::removeTemporaries(const fs::path& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return 0;
        }
        fail("open", directory, errno);
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> entries(::fdopendir(fd), &::closedir);
    if (!entries) {
        const int error = errno;
        ::close(fd);
        fail("open", directory, error);
    }
    std::size_t removed = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(entries.get());
        if (entry == nullptr) {
            if (errno != 0) {
                fail("read", directory, errno);
            }
            return removed;
        }
        if (!isTemporaryName(entry->d_name)) {
            continue;
        }
        // unlinkat removes the entry itself, a symbolic link put there since the check included.
        struct stat info {};
        if (::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode) && ::unlinkat(fd, entry->d_name, 0) == 0) {
            ++removed;
        }
    }
}

} // namespace corvane
