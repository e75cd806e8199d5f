#include "CorvaneCore/PrivateFile.h"

#include "CorvaneCore/FileError.h"
#include "FileTesting.h"

#include <cerrno>
#include <chrono>
#include <thread>
#include <unistd.h>

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace corvane::testing;

TEST(PrivateFileTest, ModesAreOwnerOnlyWhateverTheUmask) {
    for (const mode_t mask : {0000, 0022, 0077, 0777}) {
        SCOPED_TRACE(mask);
        QTemporaryDir temporary;
        const fs::path root = pathOf(temporary);
        const fs::path file = root / "a" / "b" / "state.json";
        {
            const UmaskScope scope(mask);
            PrivateFile::write("hello", file);
        }
        EXPECT_EQ(readBytes(file), "hello");
        EXPECT_EQ(modeOf(file), 0600u);
        EXPECT_EQ(modeOf(root / "a" / "b"), 0700u);
        EXPECT_EQ(modeOf(root / "a"), 0700u);
        EXPECT_EQ(namesIn(root / "a" / "b"), std::vector<std::string>{"state.json"});
    }
}

TEST(PrivateFileTest, TightensAnExistingDirectoryAndReplacesTheOldFile) {
    QTemporaryDir temporary;
    const fs::path directory = pathOf(temporary) / "Corvane";
    fs::create_directory(directory);
    ::chmod(directory.c_str(), 0755);
    writeBytes(directory / "dedup.json", "old content, longer than the new");
    ::chmod((directory / "dedup.json").c_str(), 0644);

    PrivateFile::write("new", directory / "dedup.json");

    EXPECT_EQ(readBytes(directory / "dedup.json"), "new");
    EXPECT_EQ(modeOf(directory / "dedup.json"), 0600u);
    EXPECT_EQ(modeOf(directory), 0700u);
    EXPECT_EQ(namesIn(directory), std::vector<std::string>{"dedup.json"});
}

TEST(PrivateFileTest, PlantedSymbolicLinkIsReplacedNotFollowed) {
    QTemporaryDir temporary;
    const fs::path root = pathOf(temporary);
    writeBytes(root / "elsewhere", "precious");
    ::chmod((root / "elsewhere").c_str(), 0644);
    fs::create_symlink(root / "elsewhere", root / "commands.jsonl");

    PrivateFile::write("ours", root / "commands.jsonl");

    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(root / "commands.jsonl")));
    EXPECT_EQ(readBytes(root / "commands.jsonl"), "ours");
    EXPECT_EQ(modeOf(root / "commands.jsonl"), 0600u);
    EXPECT_EQ(readBytes(root / "elsewhere"), "precious");
    EXPECT_EQ(modeOf(root / "elsewhere"), 0644u);
}

TEST(PrivateFileTest, FailuresOnDiskAreFileErrors) {
    QTemporaryDir temporary;
    const fs::path root = pathOf(temporary);
    writeBytes(root / "plain", "a file, not a directory");
    fs::create_directories(root / "taken" / "inner");

    struct Case {
        const char* name;
        fs::path target;
        int errorNumber;
    };
    const Case cases[] = {
        {"parent is a regular file", root / "plain" / "state.json", ENOTDIR},
        {"ancestor is a regular file", root / "plain" / "sub" / "state.json", ENOTDIR},
        {"target is a directory", root / "taken", EISDIR},
        {"no file name", root / "taken" / "", EISDIR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            PrivateFile::write("data", c.target);
            ADD_FAILURE() << "written";
        } catch (const FileError& error) {
            EXPECT_EQ(error.errorNumber(), c.errorNumber) << error.what();
        }
    }
    EXPECT_EQ(readBytes(root / "plain"), "a file, not a directory");
    EXPECT_TRUE(fs::is_directory(root / "taken" / "inner"));
    EXPECT_EQ(namesIn(root), (std::vector<std::string>{"plain", "taken"}));
    EXPECT_EQ(namesIn(root / "taken"), std::vector<std::string>{"inner"});
}

// Calls that fail the `failing`-th time one of them is made (counting from 1), with `error`.
struct Injection {
    const char* name;
    const char* call;
    int failing;
    int error;
};

PrivateFile::Calls failingCalls(const Injection& injection, int& count) {
    PrivateFile::Calls calls = PrivateFile::Calls::system();
    const auto fails = [&injection, &count](const char* call) {
        if (std::string(call) != injection.call) {
            return false;
        }
        if (++count != injection.failing) {
            return false;
        }
        errno = injection.error;
        return true;
    };
    calls.write = [fails, inner = calls.write](int fd, const void* bytes, std::size_t size) {
        return fails("write") ? ssize_t{-1} : inner(fd, bytes, size);
    };
    calls.fsync = [fails, inner = calls.fsync](int fd) {
        return fails("fsync") ? -1 : inner(fd);
    };
    calls.close = [fails, inner = calls.close](int fd) {
        // A failing close still releases the descriptor, as on Linux.
        const int result = inner(fd);
        return fails("close") ? -1 : result;
    };
    calls.renameat = [fails, inner = calls.renameat](int from, const char* a, int to,
                                                     const char* b) {
        return fails("rename") ? -1 : inner(from, a, to, b);
    };
    return calls;
}

TEST(PrivateFileTest, FailureBeforeTheRenameLeavesTheOldFileAndNoTemporary) {
    const Injection injections[] = {
        {"write fails", "write", 1, ENOSPC},
        {"file sync fails", "fsync", 1, EIO},
        {"close fails", "close", 1, EIO},
        {"rename fails", "rename", 1, EXDEV},
    };
    for (const Injection& injection : injections) {
        SCOPED_TRACE(injection.name);
        QTemporaryDir temporary;
        const fs::path file = pathOf(temporary) / "revocation.json";
        writeBytes(file, "{\"pending\":false}");
        int count = 0;
        const PrivateFile::Calls calls = failingCalls(injection, count);
        try {
            PrivateFile::write("{\"pending\":true}", file, calls);
            ADD_FAILURE() << "written";
        } catch (const FileError& error) {
            EXPECT_EQ(error.errorNumber(), injection.error) << error.what();
        }
        EXPECT_EQ(readBytes(file), "{\"pending\":false}");
        EXPECT_EQ(namesIn(pathOf(temporary)), std::vector<std::string>{"revocation.json"});
    }
}

TEST(PrivateFileTest, DirectorySyncFailureIsReportedWithTheNewFileInPlace) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "dedup.json";
    writeBytes(file, "old");
    int count = 0;
    const Injection injection{"directory sync", "fsync", 2, EIO};
    const PrivateFile::Calls calls = failingCalls(injection, count);
    try {
        PrivateFile::write("new", file, calls);
        ADD_FAILURE() << "written";
    } catch (const FileError& error) {
        EXPECT_EQ(error.errorNumber(), EIO);
    }
    EXPECT_EQ(readBytes(file), "new");
    EXPECT_EQ(namesIn(pathOf(temporary)), std::vector<std::string>{"dedup.json"});
}

TEST(PrivateFileTest, ShortAndInterruptedWritesStillWriteEverything) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "commands.jsonl";
    std::string data;
    for (int i = 0; i < 5000; ++i) {
        data += std::to_string(i) + '\n';
    }
    PrivateFile::Calls calls = PrivateFile::Calls::system();
    int call = 0;
    calls.write = [&call](int fd, const void* bytes, std::size_t size) -> ssize_t {
        if (++call % 3 == 0) {
            errno = EINTR;
            return -1;
        }
        return ::write(fd, bytes, std::min<std::size_t>(size, 7));
    };
    calls.fsync = [fsyncs = 0](int fd) mutable {
        if (fsyncs++ == 0) {
            errno = EINTR;
            return -1;
        }
        return ::fsync(fd);
    };
    PrivateFile::write(data, file, calls);
    EXPECT_EQ(readBytes(file), data);
}

TEST(PrivateFileTest, ReadAndStamp) {
    QTemporaryDir temporary;
    const fs::path root = pathOf(temporary);
    EXPECT_EQ(PrivateFile::read(root / "missing"), std::nullopt);
    EXPECT_EQ(PrivateFile::stamp(root / "missing"), std::nullopt);
    try {
        PrivateFile::read(root);
        ADD_FAILURE() << "read a directory";
    } catch (const FileError& error) {
        EXPECT_EQ(error.errorNumber(), EISDIR);
    }

    const std::optional<PrivateFile::Stamp> written = PrivateFile::write("abc", root / "f");
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(PrivateFile::read(root / "f"), "abc");
    EXPECT_EQ(PrivateFile::stamp(root / "f"), written);

    // The same size written in place by someone else still moves the stamp (the pause steps past
    // a coarse timestamp tick on kernels without fine-grained change times).
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    writeBytes(root / "f", "xyz");
    EXPECT_NE(PrivateFile::stamp(root / "f"), written);
    // So does a replacement.
    const std::optional<PrivateFile::Stamp> again = PrivateFile::write("xyz", root / "f");
    writeBytes(root / "g", "xyz");
    std::filesystem::rename(root / "g", root / "f");
    EXPECT_NE(PrivateFile::stamp(root / "f"), again);
}

} // namespace
} // namespace corvane
