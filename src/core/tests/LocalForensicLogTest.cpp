#include "core/LocalForensicLog.h"

#include "FileTesting.h"
#include "core/ContractError.h"
#include "core/FileError.h"
#include "core/JSON.h"
#include "core/WireTime.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace corvane::testing;
using namespace std::chrono_literals;
using Instant = LocalForensicLog::Instant;

const Instant now = *WireTime::parse("2026-06-01T12:00:00.000Z");

JSON command(const std::string& id, JSON params = JSON(JSON::Object{})) {
    return JSON(JSON::Object{{"command_id", JSON(id)},
                             {"action", JSON("set_volume")},
                             {"params", std::move(params)},
                             {"expires_at", JSON("2026-06-01T12:00:10.000Z")}});
}

// A record line as another writer might have left it: odd spacing, kept byte for byte.
std::string line(const std::string& id, const std::string& createdAt) {
    return "{ \"command_id\" : \"" + id +
           "\", \"action\":\"lock_screen\",\"params\":{},\"outcome\":\"succeeded\","
           "\"created_at\":\"" +
           createdAt + "\" }";
}

std::vector<std::string> linesOf(const std::string& content) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        const std::size_t end = content.find('\n', start);
        EXPECT_NE(end, std::string::npos) << "last line without a line feed";
        if (end == std::string::npos) {
            break;
        }
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The test ids are plain: found by position, so that full 10 MiB logs are quick to check.
std::string idOf(const std::string& text) {
    const std::size_t key = text.find("\"command_id\"");
    const std::size_t open = key == std::string::npos ? key : text.find('"', text.find(':', key));
    if (open == std::string::npos) {
        return "";
    }
    return text.substr(open + 1, text.find('"', open + 1) - open - 1);
}

std::vector<std::string> idsIn(const fs::path& file) {
    std::vector<std::string> ids;
    for (const std::string& text : linesOf(readBytes(file))) {
        ids.push_back(idOf(text));
    }
    return ids;
}

TEST(LocalForensicLogTest, FirstAppendCreatesThePrivateFile) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "Corvane" / "commands.jsonl";
    LocalForensicLog log(file);
    EXPECT_FALSE(fs::exists(file));

    JSON params(
        JSON::Object{{"text", JSON(std::string(100000, 'x') + "/\xC3\xA9")},
                     {"nested", JSON(JSON::Object{{"a", JSON(JSON::Array{1, 2, nullptr})}})}});
    log.append(command("c1", params), "received", now + 123ms);

    const std::string content = readBytes(file);
    ASSERT_EQ(linesOf(content).size(), 1u);
    EXPECT_EQ(LocalForensicLog::recordSize(command("c1", params), "received", now + 123ms) + 1,
              content.size());
    EXPECT_EQ(JSON::parse(linesOf(content)[0]),
              JSON(JSON::Object{{"command_id", JSON("c1")},
                                {"action", JSON("set_volume")},
                                {"params", params},
                                {"outcome", JSON("received")},
                                {"created_at", JSON("2026-06-01T12:00:00.123Z")}}));
}

TEST(LocalForensicLogTest, AgeingAtNinetyDays) {
    struct Case {
        const char* createdAt;
        bool kept;
    };
    // `now` is 2026-06-01T12:00:00Z; 90 days earlier is 2026-03-03T12:00:00Z.
    const Case cases[] = {
        {"2026-03-03T12:00:00Z", false},      {"2026-03-03T12:00:00.999Z", true},
        {"2026-03-03T14:00:00+02:00", false}, // the same instant as 12:00:00Z
        {"2026-03-03T09:00:01-03:00", true},  // 12:00:01Z
        {"2030-01-01T00:00:00Z", true},       // stamped in the future
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.createdAt);
        QTemporaryDir temporary;
        const fs::path file = pathOf(temporary) / "commands.jsonl";
        const std::string old = line("old", c.createdAt);
        writeBytes(file, old + "\n");
        LocalForensicLog log(file);
        log.append(command("new"), "succeeded", now);
        const std::vector<std::string> lines = linesOf(readBytes(file));
        ASSERT_EQ(lines.size(), c.kept ? 2u : 1u);
        if (c.kept) {
            EXPECT_EQ(lines[0], old);
        }
        EXPECT_EQ(idOf(lines.back()), "new");
    }
}

// Kept lines are copied from the file as they stand, across every layout another writer can
// leave: empty lines, a line longer than one read, a last line without its line feed, lines that
// age out between kept ones. The first append reads the file, the second copies what it knows.
TEST(LocalForensicLogTest, KeptLinesAreCopiedVerbatimFromAnyLayout) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "commands.jsonl";
    // Not what our writer produces (escaped slash spelled out, exponent number): must survive.
    const std::string a =
        "{\"created_at\":\"2026-06-01T11:30:00+00:00\",\"params\":{\"u\":\"a\\/b\","
        "\"n\":1E2},\"outcome\":\"received\"}";
    const std::string old = line("old", "2026-01-01T00:00:00Z");
    const std::string b =
        "{\"created_at\":\"2026-06-01T11:00:00Z\",\"t\":\"" + std::string(300000, 'b') + "\"}";
    // Ages out one second after `now`.
    const std::string c = line("c", "2026-03-03T12:00:01Z");
    const std::string d = line("d", "2026-06-01T11:59:00Z");
    writeBytes(file, "\n" + a + "\n\n" + old + "\n" + b + "\n" + c + "\n" + old + "\n" + d);

    LocalForensicLog log(file);
    log.append(command("e"), "succeeded", now);
    std::string content = readBytes(file);
    const std::string e = linesOf(content).back();
    EXPECT_TRUE(content == a + "\n" + b + "\n" + c + "\n" + d + "\n" + e + "\n");
    EXPECT_EQ(idOf(e), "e");

    log.append(command("f"), "succeeded", now + 1s);
    content = readBytes(file);
    EXPECT_TRUE(content ==
                a + "\n" + b + "\n" + d + "\n" + e + "\n" + linesOf(content).back() + "\n");
    EXPECT_EQ(idsIn(file).back(), "f");
}

TEST(LocalForensicLogTest, UnreadableLineRefusesTheAppendAndLeavesTheFile) {
    const std::string good = line("a", "2026-06-01T11:00:00Z");
    struct Case {
        std::string text;
        const char* problem;
    };
    const Case cases[] = {
        {"plain text", "not JSON"},
        {"[1,2]", "not a JSON object"},
        {"{\"command_id\":\"x\"}", "no \"created_at\""},
        {"{\"created_at\":\"2026-06-01\"}", "not a wire time"},
        {"{\"created_at\":\"2026-06-01T11:00:00Z\"", "not JSON"},
        // Longer than one read of the file.
        {"{\"created_at\":\"2026-06-01T11:00:00Z\",\"t\":\"" + std::string(300000, 't') + "\"",
         "not JSON"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        QTemporaryDir temporary;
        const fs::path file = pathOf(temporary) / "commands.jsonl";
        // The empty line counts: the damaged line is the third an editor shows.
        const std::string content = good + "\n\n" + c.text + "\n" + good + "\n";
        writeBytes(file, content);
        ::chmod(file.c_str(), 0644);
        const std::optional<PrivateFile::Stamp> before = PrivateFile::stamp(file);
        LocalForensicLog log(file);
        const std::string what = damageOf([&] { log.append(command("new"), "succeeded", now); });
        EXPECT_THAT(what,
                    ::testing::StartsWith("invalid_local_log: " + file.string() + ", line 3: "));
        EXPECT_THAT(what, ::testing::HasSubstr(c.problem));
        EXPECT_EQ(readBytes(file), content);
        EXPECT_EQ(PrivateFile::stamp(file), before);
        EXPECT_EQ(namesIn(pathOf(temporary)), std::vector<std::string>{"commands.jsonl"});
    }
}

TEST(LocalForensicLogTest, CommandWithoutItsMembersIsRefusedUntouched) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "commands.jsonl";
    LocalForensicLog log(file);
    for (const char* missing : {"command_id", "action", "params"}) {
        SCOPED_TRACE(missing);
        JSON incomplete = command("x");
        incomplete.object()->erase(missing);
        EXPECT_EQ(codeOf([&] { log.append(incomplete, "received", now); }), "invalid_message");
    }
    EXPECT_EQ(codeOf([&] { log.append(JSON("text"), "received", now); }), "invalid_message");
    EXPECT_FALSE(fs::exists(file));
    // A value that cannot be written as JSON is the writer's error, before the file is touched.
    EXPECT_THROW(log.append(command("x", JSON(std::nan(""))), "received", now), JSONWriteError);
    EXPECT_FALSE(fs::exists(file));
}

TEST(LocalForensicLogTest, SizeLimitRemovesTheOldestAndKeepsTheNewLineLast) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "commands.jsonl";
    // Lines of exactly 1024 bytes with their line feed, filling the limit exactly.
    std::string content;
    const std::size_t count = LocalForensicLog::maxBytes / 1024;
    for (std::size_t i = 0; i < count; ++i) {
        std::string text = line(std::to_string(i), "2026-06-01T11:00:00.000Z");
        text.insert(text.size() - 1, std::string(1023 - text.size(), ' '));
        content += text + '\n';
    }
    ASSERT_EQ(content.size(), LocalForensicLog::maxBytes);
    writeBytes(file, content);

    LocalForensicLog log(file);
    // A record of 1500 bytes and more needs the room of two old lines.
    log.append(command("new", JSON(JSON::Object{{"t", JSON(std::string(1500, 'p'))}})), "received",
               now);
    std::string written = readBytes(file);
    std::vector<std::string> lines = linesOf(written);
    EXPECT_LE(written.size(), LocalForensicLog::maxBytes);
    ASSERT_EQ(lines.size(), count - 1);
    EXPECT_EQ(idOf(lines[0]), "2");
    EXPECT_EQ(idOf(lines.back()), "new");
    EXPECT_EQ(written.substr(0, written.size() - lines.back().size() - 1),
              content.substr(2 * 1024));

    // Remembered between appends, the limit still holds.
    log.append(command("newer", JSON(JSON::Object{{"t", JSON(std::string(1500, 'q'))}})),
               "succeeded", now + 1s);
    written = readBytes(file);
    lines = linesOf(written);
    EXPECT_LE(written.size(), LocalForensicLog::maxBytes);
    EXPECT_EQ(idOf(lines[0]), "4");
    EXPECT_EQ(idOf(lines[lines.size() - 2]), "new");
    EXPECT_EQ(idOf(lines.back()), "newer");

    // A record alone beyond the limit leaves nothing.
    log.append(command("huge", JSON(std::string(LocalForensicLog::maxBytes, 'h'))), "received",
               now + 2s);
    EXPECT_EQ(readBytes(file), "");
}

// A peer sending commands that never run (unknown actions with large parameters, each logged as
// "received" and refused) must not push out the records of commands that ran, whether the log
// reads the file afresh or goes on from what it wrote.
TEST(LocalForensicLogTest, RefusedCommandsMakeRoomBeforeCommandsThatRan) {
    // Lines of exactly 1024 bytes with their line feed.
    const auto padded = [](const std::string& id, const std::string& outcome) {
        std::string text = "{\"command_id\":\"" + id +
                           "\",\"action\":\"x\",\"params\":{},\"outcome\":\"" + outcome +
                           "\",\"created_at\":\"2026-06-01T11:00:00.000Z\"}";
        text.insert(text.size() - 1, std::string(1023 - text.size(), ' '));
        return text + '\n';
    };
    const JSON large(JSON::Object{{"t", JSON(std::string(60000, 'p'))}});
    {
        QTemporaryDir temporary;
        const fs::path file = pathOf(temporary) / "commands.jsonl";
        // What ran, a command still running, then a flood up to the limit.
        std::string content = padded("ran", "received") + padded("waiting", "received") +
                              padded("ran", "succeeded") + padded("locked", "lock_not_confirmed");
        for (int i = 0; content.size() < LocalForensicLog::maxBytes; ++i) {
            content += padded("old" + std::to_string(i), "received") +
                       padded("old" + std::to_string(i), "action_unsupported");
        }
        ASSERT_EQ(content.size(), LocalForensicLog::maxBytes);
        writeBytes(file, content);

        // Two commands from what the log remembers, two after it read the file afresh.
        auto log = std::make_unique<LocalForensicLog>(file);
        for (int i = 0; i < 4; ++i) {
            if (i == 2) {
                log = std::make_unique<LocalForensicLog>(file);
            }
            const std::string id = "flood" + std::to_string(i);
            log->append(command(id, large), "received", now + std::chrono::seconds(i));
            log->append(command(id, large), i % 2 == 0 ? "action_unsupported" : "invalid_params",
                        now + std::chrono::seconds(i));
        }
        EXPECT_LE(readBytes(file).size(), LocalForensicLog::maxBytes);
        const std::vector<std::string> ids = idsIn(file);
        ASSERT_GE(ids.size(), 4U);
        EXPECT_EQ(std::vector<std::string>(ids.begin(), ids.begin() + 4),
                  (std::vector<std::string>{"ran", "waiting", "ran", "locked"}));
        EXPECT_EQ(ids.back(), "flood3");
        EXPECT_EQ(std::count(ids.begin(), ids.end(), "old0"), 0);
    }

    // With nothing refused left to remove, a refused record takes the room of the oldest lines
    // that ran; the next refused record then takes the room of the first, not of another.
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "commands.jsonl";
    std::string content;
    for (int i = 0; content.size() < LocalForensicLog::maxBytes; ++i) {
        content += padded("ran" + std::to_string(i), "succeeded");
    }
    writeBytes(file, content);
    LocalForensicLog log(file);
    const JSON small(JSON::Object{{"t", JSON(std::string(1500, 'p'))}});
    log.append(command("refused0", small), "duplicate_command", now);
    EXPECT_EQ(idsIn(file).front(), "ran2");
    log.append(command("refused1", small), "command_expired", now + 1s);
    const std::vector<std::string> ids = idsIn(file);
    EXPECT_EQ(ids.front(), "ran2");
    EXPECT_EQ(ids.back(), "refused1");
    EXPECT_EQ(std::count(ids.begin(), ids.end(), "refused0"), 0);
}

// Between two appends something else changes the file: the second append must see the change.
TEST(LocalForensicLogTest, OutsideChangesBetweenAppendsAreNoticed) {
    const std::string outsider = line("outsider", "2026-06-01T11:59:00Z");
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> change;
        // Expected command ids after the second append, or empty for "invalid_local_log".
        std::vector<std::string> ids;
    };
    const auto inPlace = [](const fs::path& file, const std::string& bytes) {
        const int fd = ::open(file.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        ::close(fd);
    };
    const Case cases[] = {
        {"nothing", [](const fs::path&) {}, {"first", "second"}},
        {"deleted", [](const fs::path& file) { fs::remove(file); }, {"second"}},
        {"line appended",
         [&](const fs::path& file) { std::ofstream(file, std::ios::app) << outsider << '\n'; },
         {"first", "outsider", "second"}},
        {"replaced by a valid file",
         [&](const fs::path& file) {
             writeBytes(file.parent_path() / "other", outsider + "\n");
             fs::rename(file.parent_path() / "other", file);
         },
         {"outsider", "second"}},
        {"replaced by an invalid file",
         [&](const fs::path& file) {
             writeBytes(file.parent_path() / "other", "garbage\n");
             fs::rename(file.parent_path() / "other", file);
         },
         {}},
        {"edited in place, same size", [&](const fs::path& file) { inPlace(file, "#"); }, {}},
        {"truncated", [&](const fs::path& file) { fs::resize_file(file, 10); }, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir temporary;
        const fs::path file = pathOf(temporary) / "commands.jsonl";
        LocalForensicLog log(file);
        log.append(command("first"), "received", now);
        // Step past a coarse timestamp tick, for kernels without fine-grained change times.
        std::this_thread::sleep_for(25ms);
        c.change(file);
        const std::string before = fs::exists(file) ? readBytes(file) : "";
        if (c.ids.empty()) {
            EXPECT_EQ(codeOf([&] { log.append(command("second"), "succeeded", now + 1s); }),
                      "invalid_local_log");
            EXPECT_EQ(readBytes(file), before);
            continue;
        }
        log.append(command("second"), "succeeded", now + 1s);
        EXPECT_EQ(idsIn(file), c.ids);
    }
}

// The file changes while its kept bytes are being copied: what was copied is not what was
// checked, so the append starts again from the file as it is. A file that never stops changing,
// or a copy that fails (-1: the disk is full), is a FileError that leaves the file as it was and
// the next append right.
TEST(LocalForensicLogTest, ChangesAndFailuresWhileCopying) {
    for (const int changes : {1, 2, 3, -1}) {
        SCOPED_TRACE(changes);
        QTemporaryDir temporary;
        const fs::path file = pathOf(temporary) / "commands.jsonl";
        LocalForensicLog::Calls calls = LocalForensicLog::Calls::system();
        auto copies = std::make_shared<int>(0);
        calls.file.copy_file_range = [copies, changes, &file, inner = calls.file.copy_file_range](
                                         int in, off_t* inOffset, int out, off_t* outOffset,
                                         std::size_t size, unsigned flags) {
            if ((*copies)++ < std::abs(changes)) {
                if (changes < 0) {
                    errno = ENOSPC;
                    return ssize_t{-1};
                }
                std::ofstream(file, std::ios::app)
                    << line("outsider" + std::to_string(*copies), "2026-06-01T11:59:00Z") << '\n';
            }
            return inner(in, inOffset, out, outOffset, size, flags);
        };
        LocalForensicLog log(file, calls);
        log.append(command("first"), "received", now);
        std::vector<std::string> expected{"first", "outsider1", "outsider2", "outsider3"};
        expected.resize(1 + std::max(changes, 0));
        if (changes == 3 || changes < 0) {
            const std::string what =
                whatOf<FileError>([&] { log.append(command("second"), "succeeded", now + 1s); });
            if (changes < 0) {
                EXPECT_THAT(what, ::testing::StartsWith("copy " + file.string()));
            } else {
                EXPECT_EQ(what,
                          "read " + file.string() + ": " + std::generic_category().message(EAGAIN));
            }
            EXPECT_EQ(idsIn(file), expected);
            EXPECT_EQ(namesIn(pathOf(temporary)), std::vector<std::string>{"commands.jsonl"});
        } else {
            log.append(command("second"), "succeeded", now + 1s);
            expected.push_back("second");
        }
        log.append(command("third"), "succeeded", now + 2s);
        expected.push_back("third");
        EXPECT_EQ(idsIn(file), expected);
    }
}

TEST(LocalForensicLogTest, RecentListsNewestFirstWithoutReceived) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "commands.jsonl";
    LocalForensicLog log(file);
    EXPECT_TRUE(log.recent(20).empty());
    for (int i = 0; i < 5; ++i) {
        // Some records longer than one read of the file.
        const JSON params(
            JSON::Object{{"t", JSON(std::string(i == 1 || i == 4 ? 300000 : 10, 'p'))}});
        log.append(command("c" + std::to_string(i), params), "received",
                   now + std::chrono::seconds(i));
        log.append(command("c" + std::to_string(i), params), i == 3 ? "device_locked" : "succeeded",
                   now + std::chrono::seconds(i));
    }
    // Lines that are not records are left out; a last line without its line feed counts.
    std::ofstream(file, std::ios::app) << "not json\n[1]\n\n" << line("c5", "2026-06-01T12:00:09Z");
    const auto ids = [](const std::vector<JSON>& records) {
        std::vector<std::string> result;
        for (const JSON& record : records) {
            result.push_back(*record.stringMember("command_id"));
        }
        return result;
    };
    EXPECT_EQ(ids(log.recent(4)), (std::vector<std::string>{"c5", "c4", "c3", "c2"}));
    EXPECT_EQ(*log.recent(3)[2].stringMember("outcome"), "device_locked");
    EXPECT_EQ(ids(log.recent(100)), (std::vector<std::string>{"c5", "c4", "c3", "c2", "c1", "c0"}));
    EXPECT_TRUE(log.recent(0).empty());
}

TEST(LocalForensicLogTest, EnsureRoomForTheRewriteBesideTheOldFile) {
    constexpr std::uint64_t margin = LocalForensicLog::roomMargin;
    constexpr std::uint64_t max = LocalForensicLog::maxBytes;
    struct Case {
        const char* name;
        std::size_t logSize; // absent log when 0
        std::size_t record;
        std::uint64_t needed; // bytes free that just suffice
    };
    const Case cases[] = {
        {"no log yet", 0, 100, 101 + margin},
        {"a log", 5000, 100, 5101 + margin},
        {"the rewrite stops at the limit", max - 50, 100, max + margin},
        {"a record beyond the limit", 10, std::numeric_limits<std::size_t>::max(), max + margin},
    };
    for (const Case& c : cases) {
        for (const std::uint64_t free : {c.needed, c.needed - 1}) {
            SCOPED_TRACE(std::string(c.name) +
                         (free == c.needed ? ", enough" : ", one byte short"));
            QTemporaryDir temporary;
            const fs::path file = pathOf(temporary) / "commands.jsonl";
            if (c.logSize > 0) {
                writeBytes(file, std::string(c.logSize, 'x'));
            }
            LocalForensicLog::Calls calls = LocalForensicLog::Calls::system();
            calls.statvfs = [free, dir = pathOf(temporary)](const char* path,
                                                            struct statvfs* info) {
                EXPECT_EQ(fs::path(path), dir);
                *info = {};
                // Fragments, not blocks, are the unit of f_bavail; f_bfree includes root's share.
                info->f_bsize = 4096;
                info->f_frsize = 1;
                info->f_bavail = free;
                info->f_bfree = free * 2;
                return 0;
            };
            const LocalForensicLog log(file, calls);
            if (free == c.needed) {
                EXPECT_NO_THROW(log.ensureRoom(c.record));
                continue;
            }
            EXPECT_EQ(whatOf<FileError>([&] { log.ensureRoom(c.record); }),
                      "find " + std::to_string(c.needed) + " free bytes for " + file.string() +
                          ": " + std::generic_category().message(ENOSPC));
        }
    }
}

TEST(LocalForensicLogTest, EnsureRoomAsksTheNearestExistingDirectory) {
    QTemporaryDir temporary;
    const fs::path root = pathOf(temporary);
    const fs::path file = root / "a" / "b" / "commands.jsonl";
    std::vector<std::string> asked;
    int failure = ENOENT;
    LocalForensicLog::Calls calls = LocalForensicLog::Calls::system();
    calls.statvfs = [&](const char* path, struct statvfs* info) {
        asked.push_back(path);
        if (fs::path(path) != root || failure != ENOENT) {
            errno = failure;
            return -1;
        }
        *info = {};
        info->f_frsize = 4096;
        info->f_bavail = 1u << 20;
        return 0;
    };
    const LocalForensicLog log(file, calls);
    EXPECT_NO_THROW(log.ensureRoom(100));
    EXPECT_EQ(asked, (std::vector<std::string>{(root / "a" / "b").string(), (root / "a").string(),
                                               root.string()}));
    failure = EIO;
    EXPECT_EQ(whatOf<FileError>([&] { log.ensureRoom(100); }),
              "statvfs " + (root / "a" / "b").string() + ": " +
                  std::generic_category().message(EIO));
    // The real call, on a disk with room to spare.
    EXPECT_NO_THROW(LocalForensicLog(file).ensureRoom(100));
}

} // namespace
} // namespace corvane
