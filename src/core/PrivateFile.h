#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

namespace corvane {

class ReadOnlyFile;

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

        static Stamp of(const struct stat& info) noexcept;
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
        std::function<ssize_t(int fromFd, off_t* fromOffset, int toFd, off_t* toOffset,
                              std::size_t count, unsigned flags)>
            copy_file_range;

        static Calls system();
    };

    // Where a producer puts the new content, in order: the temporary file.
    class Output {
    public:
        Output(const Output&) = delete;
        Output& operator=(const Output&) = delete;

        void write(std::string_view bytes);
        // Copies up to `length` bytes of `source` from `offset` on, in the kernel where the file
        // system allows it. Returns how many were copied: fewer only when `source` ends first.
        std::uint64_t copy(const ReadOnlyFile& source, std::uint64_t offset, std::uint64_t length);

    private:
        friend class PrivateFile;
        Output(const Calls& calls, int fd, const std::filesystem::path& path)
            : calls_(calls)
            , fd_(fd)
            , path_(path) {}

        const Calls& calls_;
        int fd_;
        const std::filesystem::path& path_;
    };
    // Writes the whole new content; whatever it throws abandons the write (and is rethrown).
    using Producer = std::function<void(Output&)>;

    // Writes `data`, or what `produce` writes, as the whole content of `path` (see above). Returns
    // the stamp of the file it put in place, or absent when something else already replaced it
    // again.
    static std::optional<Stamp> write(std::string_view data, const std::filesystem::path& path);
    static std::optional<Stamp> write(std::string_view data, const std::filesystem::path& path,
                                      const Calls& calls);
    static std::optional<Stamp> write(const Producer& produce, const std::filesystem::path& path);
    static std::optional<Stamp> write(const Producer& produce, const std::filesystem::path& path,
                                      const Calls& calls);

    // Removes from `directory` the temporary files that a write interrupted by a crash left
    // behind: regular files named like ours (".<target>.tmp-" and 16 lower-case hexadecimal
    // digits), nothing else, never through a symbolic link. Only for a directory nobody is writing
    // in (at start, under the instance lock): a write in progress would lose its temporary file
    // and fail. Returns how many it removed; a missing directory has none. Throws FileError when
    // the directory cannot be read.
    static std::size_t removeTemporaries(const std::filesystem::path& directory);

    // The whole content of `path`; absent when nothing exists there. Anything but a regular file
    // (a directory, a FIFO...) is a FileError, as is every other failure (see ReadOnlyFile).
    static std::optional<std::string> read(const std::filesystem::path& path);

    // The stamp of what is at `path` now (a symbolic link is not followed); absent when nothing is.
    static std::optional<Stamp> stamp(const std::filesystem::path& path);

    static constexpr mode_t fileMode = 0600;
    static constexpr mode_t directoryMode = 0700;
};

} // namespace corvane
