#pragma once

#include <cstddef>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace corvane {

// The only way the agent writes its files: an owner-only directory, an owner-only file that
// replaces the old one atomically, data and directory entry forced to disk. Every failure is a
// FileError, and after one the old file is still there, whole, with no temporary file beside it
// (except when only the final directory sync fails: the new file is then in place, maybe not yet
// durable).
class PrivateFile {
public:
    // Identifies one version of a file on disk: any rewrite or replacement by anyone changes the
    // inode, the size or the change time.
    struct Stamp {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
        timespec changed{};

        friend bool operator==(const Stamp& a, const Stamp& b) noexcept;
    };

    // The system calls whose failures cannot be provoked from outside on a healthy disk; each
    // behaves like the POSIX call of the same name. Tests replace them to inject failures, short
    // writes and interruptions.
    struct Calls {
        std::function<ssize_t(int fd, const void* bytes, std::size_t count)> write;
        std::function<int(int fd)> fsync;
        std::function<int(int fd)> close;
        std::function<int(int dirFd, const char* from, int toDirFd, const char* to)> renameat;

        static Calls system();
    };

    // Writes `data` as the whole content of `path` (see above). Returns the stamp of the file it
    // put in place, or absent when something else already replaced it again.
    static std::optional<Stamp> write(std::string_view data, const std::filesystem::path& path);
    static std::optional<Stamp> write(std::string_view data, const std::filesystem::path& path,
                                      const Calls& calls);

    // The whole content of `path`; absent when nothing exists there. Anything but a regular file
    // (a directory, a FIFO...) is a FileError, as is every other failure.
    static std::optional<std::string> read(const std::filesystem::path& path);

    // The stamp of what is at `path` now (a symbolic link is not followed); absent when nothing is.
    static std::optional<Stamp> stamp(const std::filesystem::path& path);

    static std::size_t removeLeftovers(const std::filesystem::path& directory);

    static constexpr mode_t fileMode = 0600;
    static constexpr mode_t directoryMode = 0700;
};

} // namespace corvane
