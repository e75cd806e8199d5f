#include "CorvaneCore/PrivateFile.h"

#include "CorvaneCore/FileError.h"

#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace corvane {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const char* operation, const fs::path& path, int errorNumber) {
    throw FileError(operation, path.string(), errorNumber);
}

PrivateFile::Stamp stampOf(const struct stat& info) {
    PrivateFile::Stamp stamp;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = info.st_size;
    stamp.modified = info.st_mtim;
    stamp.changed = info.st_ctim;
    return stamp;
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
            char suffix[17];
            std::snprintf(
                suffix, sizeof suffix, "%016llx",
                static_cast<unsigned long long>(QRandomGenerator::system()->generate64()));
            std::string name = "." + targetName + ".tmp-" + suffix;
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
        fail("open", directory / ("." + targetName + ".tmp-*"), EEXIST);
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
    return calls;
}

std::optional<PrivateFile::Stamp> PrivateFile::write(std::string_view data, const fs::path& path) {
    static const Calls systemCalls = Calls::system();
    return write(data, path, systemCalls);
}

std::optional<PrivateFile::Stamp> PrivateFile::write(std::string_view data, const fs::path& path,
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
    writeAll(calls, temporary.fd(), data, temporaryPath);
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
    return stampOf(placed);
}

std::optional<std::string> PrivateFile::read(const fs::path& path) {
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        fail("open", path, errno);
    }
    const Descriptor file(fd);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        fail("stat", path, errno);
    }
    if (!S_ISREG(info.st_mode)) {
        fail("read", path, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    }

    std::string content;
    content.resize(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t filled = 0;
    for (;;) {
        if (filled == content.size()) {
            // The file grew since fstat: keep reading.
            content.resize(content.size() * 2 + 4096);
        }
        const ssize_t got = ::read(file.get(), content.data() + filled, content.size() - filled);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("read", path, errno);
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    content.resize(filled);
    return content;
}

std::optional<PrivateFile::Stamp> PrivateFile::stamp(const fs::path& path) {
    struct stat info {};
    if (::fstatat(AT_FDCWD, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        fail("stat", path, errno);
    }
    return stampOf(info);
}

std::size_t PrivateFile::removeLeftovers(const std::filesystem::path&) {
    return 0;
}

} // namespace corvane
