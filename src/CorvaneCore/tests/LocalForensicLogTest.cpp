#include "CorvaneCore/LocalForensicLog.h"

#include "CorvaneCore/ContractError.h"
#include "CorvaneCore/JSON.h"
#include "CorvaneCore/WireTime.h"
#include "FileTesting.h"

#include <chrono>
#include <cmath>
#include <fcntl.h>
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

std::string idOf(const std::string& text) {
    const JSON record = JSON::parse(text);
    return record.stringMember("command_id") ? *record.stringMember("command_id") : "";
}

std::string codeOf(const std::function<void()>& run) {
    try {
        run();
    } catch (const ContractError& error) {
        return error.code();
    }
    return "none";
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
    EXPECT_EQ(JSON::parse(linesOf(content)[0]),
              JSON(JSON::Object{{"command_id", JSON("c1")},
                                {"action", JSON("set_volume")},
                                {"params", params},
                                {"outcome", JSON("received")},
                                {"created_at", JSON("2026-06-01T12:00:00.123Z")}}));
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(file.parent_path()), 0700u);
}

TEST(LocalForensicLogTest, AgeingAtNinetyDays) {
    struct Case {
        const char* createdAt;
        bool kept;
    };
    // `now` is 2026-06-01T12:00:00Z; 90 days earlier is 2026-03-03T12:00:00Z.
    const Case cases[] = {
        {"2026-03-03T12:00:00Z", false},
        {"2026-03-03T12:00:00.000Z", false},
        {"2026-03-03T12:00:00.999Z", true},
        {"2026-03-03T12:00:01Z", true},
        {"2026-03-03T11:59:59Z", false},
        {"2026-03-03T14:00:00+02:00", false}, // the same instant as 12:00:00Z
        {"2026-03-03T14:00:01+02:00", true},
        {"2026-03-03T10:00:00-02:00", false}, // 12:00:00Z
        {"2026-03-03T09:00:01-03:00", true},  // 12:00:01Z
        {"2026-03-03T13:00:01+02:00", false}, // 11:00:01Z
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

TEST(LocalForensicLogTest, RememberedLinesAgeToo) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "commands.jsonl";
    LocalForensicLog log(file);
    log.append(command("a"), "received", now);
    log.append(command("b"), "received", now + 1s);
    log.append(command("c"), "received", now + LocalForensicLog::maxAge);
    const std::vector<std::string> lines = linesOf(readBytes(file));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(idOf(lines[0]), "b");
    EXPECT_EQ(idOf(lines[1]), "c");
}

TEST(LocalForensicLogTest, EmptyLinesAreDroppedAndKeptLinesCopiedVerbatim) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "commands.jsonl";
    const std::string a = line("a", "2026-06-01T11:00:00Z");
    // Not what our writer produces (escaped slash spelled out, exponent number): must survive.
    const std::string b = "{\"created_at\":\"2026-06-01T11:30:00+00:00\",\"params\":{\"u\":\"a/b\","
                          "\"n\":1E2},\"outcome\":\"received\"}";
    writeBytes(file, "\n" + a + "\n\n\n" + b);
    LocalForensicLog log(file);
    log.append(command("c"), "succeeded", now);
    const std::string content = readBytes(file);
    EXPECT_EQ(content.substr(0, a.size() + b.size() + 2), a + "\n" + b + "\n");
    ASSERT_EQ(linesOf(content).size(), 3u);
    EXPECT_EQ(idOf(linesOf(content)[2]), "c");
}

TEST(LocalForensicLogTest, UnreadableLineRefusesTheAppendAndLeavesTheFile) {
    const std::string good = line("a", "2026-06-01T11:00:00Z");
    const std::string bad[] = {
        "plain text",
        "[1,2]",
        "\"2026-06-01T11:00:00Z\"",
        "{\"command_id\":\"x\"}",
        "{\"created_at\":12}",
        "{\"created_at\":\"2026-06-01\"}",
        "{\"created_at\":\"2026-06-01 11:00:00Z\"}",
        "{\"created_at\":\"2026-06-01T11:00:00\"}",
        "{\"created_at\":\"2026-06-01T11:00:00Z\"",
        "{\"created_at\":\"2026-06-01T11:00:00Z\"} x",
    };
    for (const std::string& text : bad) {
        SCOPED_TRACE(text);
        QTemporaryDir temporary;
        const fs::path file = pathOf(temporary) / "commands.jsonl";
        const std::string content = good + "\n" + text + "\n" + good + "\n";
        writeBytes(file, content);
        ::chmod(file.c_str(), 0644);
        const std::optional<PrivateFile::Stamp> before = PrivateFile::stamp(file);
        LocalForensicLog log(file);
        EXPECT_EQ(codeOf([&] { log.append(command("new"), "succeeded", now); }),
                  "invalid_local_log");
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
        std::vector<std::string> ids;
        for (const std::string& text : linesOf(readBytes(file))) {
            ids.push_back(idOf(text));
        }
        EXPECT_EQ(ids, c.ids);
    }
}

TEST(LocalForensicLogTest, TwoWritersInterleavedLoseNothing) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "commands.jsonl";
    LocalForensicLog first(file);
    LocalForensicLog second(file);
    std::vector<std::string> expected;
    for (int i = 0; i < 6; ++i) {
        const std::string id = "c" + std::to_string(i);
        (i % 3 == 0 ? second : first)
            .append(command(id), "received", now + std::chrono::seconds(i));
        expected.push_back(id);
    }
    std::vector<std::string> ids;
    for (const std::string& text : linesOf(readBytes(file))) {
        ids.push_back(idOf(text));
    }
    EXPECT_EQ(ids, expected);
}

TEST(LocalForensicLogTest, RecentListsNewestFirstWithoutReceived) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "commands.jsonl";
    LocalForensicLog log(file);
    EXPECT_TRUE(log.recent(20).empty());
    for (int i = 0; i < 5; ++i) {
        log.append(command("c" + std::to_string(i)), "received", now + std::chrono::seconds(i));
        log.append(command("c" + std::to_string(i)), i == 3 ? "device_locked" : "succeeded",
                   now + std::chrono::seconds(i));
    }
    const std::vector<JSON> recent = log.recent(3);
    ASSERT_EQ(recent.size(), 3u);
    EXPECT_EQ(*recent[0].stringMember("command_id"), "c4");
    EXPECT_EQ(*recent[1].stringMember("outcome"), "device_locked");
    EXPECT_EQ(*recent[2].stringMember("command_id"), "c2");
}

} // namespace
} // namespace corvane
