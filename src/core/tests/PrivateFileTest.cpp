#include "core/PrivateFile.h"

#include "FileTesting.h"
#include "core/DedupLedger.h"
#include "core/FileError.h"
#include "core/JSON.h"
#include "core/LocalForensicLog.h"
#include "core/ReadOnlyFile.h"
#include "core/RevocationState.h"

#include <gmock/gmock.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace corvane::testing;

// Whatever the umask and whatever is already there (looser folders and file, a planted symbolic
// link), the write leaves one owner-only file in an owner-only folder and follows no link. It
// tightens only the file's own folder: an existing one above it (a home) is not its business.
TEST(PrivateFileTest, LeavesAnOwnerOnlyFileWhateverWasThere) {
    struct Case {
        const char* name;
        mode_t mask;
        // What stands at the file's place beforehand, in looser folders a/b: nothing when empty.
        std::function<void(const fs::path& file)> before;
        bool link = false;
    };
    const auto looseFile = [](const fs::path& file) {
        writeBytes(file, "old content, longer than the new");
        ::chmod(file.c_str(), 0644);
    };
    const auto plantedLink = [](const fs::path& file) {
        writeBytes(file.parent_path().parent_path() / "elsewhere", "precious");
        ::chmod((file.parent_path().parent_path() / "elsewhere").c_str(), 0644);
        fs::create_symlink(file.parent_path().parent_path() / "elsewhere", file);
    };
    const Case cases[] = {
        {"umask 0000", 0000, nullptr},
        {"umask 0022", 0022, nullptr},
        {"umask 0077", 0077, nullptr},
        {"umask 0777", 0777, nullptr},
        {"looser folders", 0022,
         [](const fs::path&) {
         }},
        {"looser folders and file", 0022, looseFile},
        {"planted link", 0022, plantedLink, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir temporary;
        const fs::path root = pathOf(temporary);
        const fs::path file = root / "a" / "b" / "state.json";
        if (c.before) {
            fs::create_directories(file.parent_path());
            ::chmod((root / "a").c_str(), 0755);
            ::chmod((root / "a" / "b").c_str(), 0755);
            c.before(file);
        }
        {
            const UmaskScope scope(c.mask);
            PrivateFile::write("hello", file);
        }
        EXPECT_FALSE(fs::is_symlink(fs::symlink_status(file)));
        EXPECT_EQ(readBytes(file), "hello");
        EXPECT_EQ(modeOf(file), 0600u);
        EXPECT_EQ(modeOf(root / "a" / "b"), 0700u);
        EXPECT_EQ(modeOf(root / "a"), c.before ? 0755u : 0700u);
        EXPECT_EQ(namesIn(root / "a" / "b"), std::vector<std::string>{"state.json"});
        if (c.link) {
            EXPECT_EQ(readBytes(root / "a" / "elsewhere"), "precious");
            EXPECT_EQ(modeOf(root / "a" / "elsewhere"), 0644u);
        }
    }
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
        // What what() names before the system's text for the error.
        std::string operationAndPath;
    };
    const Case cases[] = {
        {"parent is a regular file", root / "plain" / "state.json", ENOTDIR,
         "mkdir " + (root / "plain").string()},
        {"target is a directory", root / "taken", EISDIR, "rename " + (root / "taken").string()},
        {"no file name", root / "taken" / "", EISDIR, "write " + (root / "taken" / "").string()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            PrivateFile::write("data", c.target);
            ADD_FAILURE() << "written";
        } catch (const FileError& error) {
            EXPECT_EQ(error.errorNumber(), c.errorNumber);
            EXPECT_EQ(error.what(),
                      c.operationAndPath + ": " + std::generic_category().message(c.errorNumber));
        }
    }
    EXPECT_EQ(readBytes(root / "plain"), "a file, not a directory");
    EXPECT_TRUE(fs::is_directory(root / "taken" / "inner"));
    EXPECT_EQ(namesIn(root), (std::vector<std::string>{"plain", "taken"}));
    EXPECT_EQ(namesIn(root / "taken"), std::vector<std::string>{"inner"});
}

// Calls that fail the `failing`-th time one of them is made (counting from 1), with `error`; the
// call "produce" is the producer itself, which then throws.
struct Injection {
    const char* name;
    const char* call;
    int failing;
    int error;
    // Whether the new file is already in place when the failure comes.
    bool replaced = false;
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
    calls.copy_file_range =
        [fails, inner = calls.copy_file_range](int in, off_t* inOffset, int out, off_t* outOffset,
                                               std::size_t size, unsigned flags) {
            return fails("copy") ? ssize_t{-1} : inner(in, inOffset, out, outOffset, size, flags);
        };
    return calls;
}

TEST(PrivateFileTest, FailuresLeaveOneWholeFileAndNoTemporary) {
    const Injection injections[] = {
        {"write fails", "write", 1, ENOSPC},
        {"second write fails", "write", 2, EIO},
        {"copy fails", "copy", 1, ENOSPC},
        {"producer throws", "produce", 1, 0},
        {"file sync fails", "fsync", 1, EIO},
        {"close fails", "close", 1, EIO},
        {"rename fails", "rename", 1, EXDEV},
        // Reported, although the new file is already in place.
        {"directory sync fails", "fsync", 2, EIO, true},
    };
    for (const Injection& injection : injections) {
        SCOPED_TRACE(injection.name);
        QTemporaryDir temporary;
        const fs::path file = pathOf(temporary) / "revocation.json";
        writeBytes(file, "{\"pending\":false}");
        writeBytes(pathOf(temporary) / "source", "true");
        const std::optional<ReadOnlyFile> source = ReadOnlyFile::open(pathOf(temporary) / "source");
        int count = 0;
        const PrivateFile::Calls calls = failingCalls(injection, count);
        const auto produce = [&](PrivateFile::Output& output) {
            output.write("{\"pending\":");
            output.copy(*source, 0, 4);
            if (std::string(injection.call) == "produce") {
                throw std::runtime_error("producer");
            }
            output.write("}");
        };
        try {
            PrivateFile::write(produce, file, calls);
            ADD_FAILURE() << "written";
        } catch (const FileError& error) {
            EXPECT_EQ(error.errorNumber(), injection.error) << error.what();
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "producer");
        }
        EXPECT_EQ(readBytes(file),
                  injection.replaced ? "{\"pending\":true}" : "{\"pending\":false}");
        EXPECT_EQ(namesIn(pathOf(temporary)),
                  (std::vector<std::string>{"revocation.json", "source"}));
    }
}

TEST(PrivateFileTest, CopiesFromAnotherFileInTheKernelOrThroughABuffer) {
    QTemporaryDir temporary;
    const fs::path root = pathOf(temporary);
    std::string bytes(1 << 20, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 7 % 251);
    }
    writeBytes(root / "source", bytes);
    const std::optional<ReadOnlyFile> source = ReadOnlyFile::open(root / "source");
    ASSERT_TRUE(source.has_value());

    using CopyFileRange = decltype(PrivateFile::Calls::copy_file_range);
    const CopyFileRange system = PrivateFile::Calls::system().copy_file_range;
    const auto failing = [](int error) -> CopyFileRange {
        return [error](int, off_t*, int, off_t*, std::size_t, unsigned) {
            errno = error;
            return ssize_t{-1};
        };
    };
    // Writes of at most 7 bytes, every third one interrupted, and an interrupted first sync.
    PrivateFile::Calls choppy = PrivateFile::Calls::system();
    choppy.write = [call = 0](int fd, const void* data, std::size_t size) mutable -> ssize_t {
        if (++call % 3 == 0) {
            errno = EINTR;
            return -1;
        }
        return ::write(fd, data, std::min<std::size_t>(size, 7));
    };
    choppy.fsync = [fsyncs = 0](int fd) mutable {
        if (fsyncs++ == 0) {
            errno = EINTR;
            return -1;
        }
        return ::fsync(fd);
    };
    struct Case {
        const char* name;
        CopyFileRange copy;
        PrivateFile::Calls calls = PrivateFile::Calls::system();
    };
    const Case cases[] = {
        {"in the kernel", system},
        {"across file systems", failing(EXDEV)},
        {"refused", failing(EOPNOTSUPP)},
        {"claims the end early",
         [](int, off_t*, int, off_t*, std::size_t, unsigned) {
             return ssize_t{0};
         }},
        {"short and interrupted",
         [system, call = 0](int in, off_t* inOffset, int out, off_t* outOffset, std::size_t size,
                            unsigned flags) mutable {
             if (++call % 2 == 0) {
                 errno = EINTR;
                 return ssize_t{-1};
             }
             return system(in, inOffset, out, outOffset, std::min<std::size_t>(size, 4097), flags);
         }},
        {"through a buffer, short and interrupted writes", failing(EXDEV), choppy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PrivateFile::Calls calls = c.calls;
        calls.copy_file_range = c.copy;
        std::uint64_t middle = 0;
        std::uint64_t tail = 0;
        PrivateFile::write(
            [&](PrivateFile::Output& output) {
                output.write("<");
                middle = output.copy(*source, 10, 600000);
                output.write("|");
                // Asks for more than is left.
                tail = output.copy(*source, bytes.size() - 100, 1000);
                output.write(">");
            },
            root / "copy", calls);
        EXPECT_EQ(middle, 600000u);
        EXPECT_EQ(tail, 100u);
        // Appended piece by piece: GCC 12 takes the chained + for an overlapping copy when
        // optimising.
        std::string expected = "<";
        expected += bytes.substr(10, 600000);
        expected += '|';
        expected += bytes.substr(bytes.size() - 100);
        expected += '>';
        EXPECT_TRUE(readBytes(root / "copy") == expected);
    }
}

TEST(PrivateFileTest, RemovesOnlyItsOwnLeftoverTemporaries) {
    QTemporaryDir temporary;
    const fs::path root = pathOf(temporary);
    const std::string hex = "0123456789abcdef";

    // A real leftover: a writer killed between creating its temporary file and the rename.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        PrivateFile::write(
            [](PrivateFile::Output& output) {
                output.write("half");
                ::_exit(0);
            },
            root / "commands.jsonl");
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(namesIn(root).size(), 1u);

    const std::vector<std::string> ours = {
        namesIn(root)[0],
        ".dedup.json.tmp-" + hex,
        "..hidden.tmp-" + hex,
        ".a.tmp-b.tmp-" + hex,
    };
    for (const std::string& name : ours) {
        writeBytes(root / name, "leftover");
    }
    writeBytes(root / "precious", "precious");
    const std::vector<std::string> others = {
        "commands.jsonl",
        "commands.jsonl.tmp-" + hex,            // not hidden
        ".tmp-" + hex,                          // no target
        "..tmp-" + hex,                         // no target either
        "...tmp-" + hex,                        // target "."
        ".commands.jsonl.tmp-" + hex.substr(1), // suffix too short
        ".commands.jsonl.tmp-" + hex + "0",     // suffix too long
        ".commands.jsonl.tmp-0123456789ABCDEF", // upper case is not our alphabet
        ".commands.jsonl.tmp-0123456789abcdeg",
        ".commands.jsonl.tmp_" + hex,
        ".commands.jsonl.tmp-" + hex + ".bak",
        ".commands.jsonl.TMP-" + hex,
    };
    for (const std::string& name : others) {
        writeBytes(root / name, "keep");
    }
    // Our pattern, but not a regular file.
    fs::create_directory(root / (".dir.tmp-" + hex));
    writeBytes(root / (".dir.tmp-" + hex) / "inside", "keep");
    fs::create_symlink(root / "precious", root / (".link.tmp-" + hex));
    ASSERT_EQ(::mkfifo((root / (".fifo.tmp-" + hex)).c_str(), 0600), 0);
    // Another directory's leftovers are not this call's business.
    fs::create_directory(root / "sub");
    writeBytes(root / "sub" / (".x.tmp-" + hex), "keep");

    const std::vector<std::string> before = namesIn(root);
    EXPECT_EQ(PrivateFile::removeTemporaries(root), ours.size());
    std::vector<std::string> expected;
    std::copy_if(before.begin(), before.end(), std::back_inserter(expected),
                 [&](const std::string& name) {
                     return std::find(ours.begin(), ours.end(), name) == ours.end();
                 });
    EXPECT_EQ(namesIn(root), expected);
    EXPECT_EQ(readBytes(root / "precious"), "precious");
    EXPECT_EQ(namesIn(root / (".dir.tmp-" + hex)), std::vector<std::string>{"inside"});
    EXPECT_EQ(namesIn(root / "sub").size(), 1u);
    EXPECT_EQ(PrivateFile::removeTemporaries(root), 0u);

    EXPECT_EQ(PrivateFile::removeTemporaries(root / "missing"), 0u);
    EXPECT_THAT(whatOf<FileError>([&] { PrivateFile::removeTemporaries(root / "precious"); }),
                ::testing::HasSubstr((root / "precious").string()));
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

// A symbolic link planted at a private file's name is refused, naming the file, never followed:
// its target is neither taken in nor copied into the rewritten file.
TEST(PrivateFileTest, ReadersRefuseALinkNamingTheFile) {
    QTemporaryDir temporary;
    const fs::path root = pathOf(temporary);
    const auto now = std::chrono::system_clock::now();
    const JSON command(JSON::Object{{"command_id", JSON("c1")},
                                    {"action", JSON("get_state")},
                                    {"params", JSON(JSON::Object{})}});
    LocalForensicLog(root / "elsewhere.jsonl").append(command, "received", now);
    writeBytes(root / "elsewhere.json", R"({"pending": true})");
    writeBytes(root / "elsewhere-ledger.json", "[]");
    struct Row {
        const char* name;
        const char* target;
        std::function<void(const fs::path&)> read;
    } const rows[] = {
        {"dedup.json", "elsewhere-ledger.json",
         [](const fs::path& p) {
             DedupLedger{p};
         }},
        {"revocation.json", "elsewhere.json",
         [](const fs::path& p) {
             RevocationState{p};
         }},
        {"commands.jsonl", "elsewhere.jsonl",
         [&](const fs::path& p) {
             LocalForensicLog(p).append(command, "succeeded", now);
         }},
        {"keychain.json", "elsewhere.json",
         [](const fs::path& p) {
             PrivateFile::read(p);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path file = root / row.name;
        fs::create_symlink(root / row.target, file);
        const std::string target = readBytes(root / row.target);
        EXPECT_EQ(whatOf<FileError>([&] { row.read(file); }),
                  "open " + file.string() +
                      ": a symbolic link, refused (replace it with the file "
                      "itself)");
        EXPECT_TRUE(fs::is_symlink(fs::symlink_status(file)));
        EXPECT_EQ(readBytes(root / row.target), target);
    }
}
} // namespace
} // namespace corvane
