#include "platform/SettingsUserDefaults.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

using corvane::SettingsUserDefaults;
using corvane::UserDefaultsError;
using ::testing::HasSubstr;

namespace {

class SettingsUserDefaultsTest : public ::testing::Test {
protected:
    QString path() const { return dir_.filePath(QStringLiteral("Corvane/defaults.ini")); }

    // A store over a copy of the file: what is on disk, apart from the memory that every store of
    // one path shares within the process.
    std::unique_ptr<SettingsUserDefaults> onDisk() {
        const QString copy = dir_.filePath(QStringLiteral("copy-%1.ini").arg(++copies_));
        EXPECT_TRUE(QFile::copy(path(), copy));
        return std::make_unique<SettingsUserDefaults>(copy);
    }

    QTemporaryDir dir_;
    int copies_ = 0;
};

// While it lives, every write to a regular file fails with EFBIG: a disk that takes nothing more,
// for root as well (permissions do not stop root).
class RefusingDisk {
public:
    RefusingDisk() {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit none = saved_;
        none.rlim_cur = 0;
        ::setrlimit(RLIMIT_FSIZE, &none);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
    }
    ~RefusingDisk() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }
    RefusingDisk(const RefusingDisk&) = delete;
    RefusingDisk& operator=(const RefusingDisk&) = delete;

private:
    rlimit saved_{};
    void (*previous_)(int) = nullptr;
};

// The message of the UserDefaultsError that `write` throws, or "no error".
std::string errorOf(const std::function<void()>& write) {
    try {
        write();
    } catch (const UserDefaultsError& e) {
        return e.what();
    }
    return "no error";
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// What each reader makes of a key: the four typed reads in one line.
std::string reads(const SettingsUserDefaults& d, const std::string& key) {
    const auto b = d.boolValue(key);
    const auto i = d.integerValue(key);
    const auto s = d.stringValue(key);
    const auto l = d.stringListValue(key);
    std::string out = b ? (*b ? "b:true" : "b:false") : "-";
    out.append(i ? " i:" + std::to_string(*i) : " -");
    out.append(s ? " s:" + *s : " -");
    out.append(l ? " l:" + std::to_string(l->size()) : " -");
    return out;
}

unsigned mode(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

} // namespace

TEST_F(SettingsUserDefaultsTest, AValueReadsOnlyAsItsOwnType) {
    SettingsUserDefaults d(path());
    d.setBool("flag", true);
    d.setBool("off", false);
    d.setInteger("one", 1);
    d.setInteger("zero", 0);
    d.setString("text-true", "true");
    d.setString("text-one", "1");
    d.setString("empty", "");
    d.setStringList("list", {"a"});
    d.setStringList("none", {});

    EXPECT_EQ(reads(d, "flag"), "b:true - - -");
    EXPECT_EQ(reads(d, "off"), "b:false - - -");
    EXPECT_EQ(reads(d, "one"), "- i:1 - -");
    EXPECT_EQ(reads(d, "zero"), "- i:0 - -");
    EXPECT_EQ(reads(d, "text-true"), "- - s:true -");
    EXPECT_EQ(reads(d, "text-one"), "- - s:1 -");
    EXPECT_EQ(reads(d, "empty"), "- - s: -");
    EXPECT_EQ(reads(d, "list"), "- - - l:1");
    EXPECT_EQ(reads(d, "none"), "- - - l:0");
    EXPECT_EQ(reads(d, "missing"), "- - - -");

    // A new value of another type replaces the old one entirely.
    d.setString("flag", "now text");
    EXPECT_EQ(reads(d, "flag"), "- - s:now text -");
    d.remove("flag");
    EXPECT_EQ(reads(d, "flag"), "- - - -");
}

TEST_F(SettingsUserDefaultsTest, ValuesSurviveAReopenExactly) {
    const std::vector<std::string> list{"", "a,b", "line\nbreak", "Caf\xC3\xA9", "@at", "\"q\""};
    {
        SettingsUserDefaults d(path());
        d.setInteger("big", INT64_MIN);
        d.setString("unicode", "\xE2\x80\x9CVelto\xE2\x80\x9D \xF0\x9F\x98\x80");
        d.setStringList("shortcuts", list);
        // Keys keep their slashes, percent signs and letter case.
        d.setBool("automation-explained-AC/DC", true);
        d.setBool("automation-explained-AC", false);
        d.setBool("a//b", true);
        d.setBool("%2F", false);
        d.setString("Relay", "upper");
        d.setString("relay", "lower");
    }
    ASSERT_TRUE(QFile::exists(path()));
    EXPECT_EQ(mode(path()), 0600);
    EXPECT_EQ(mode(dir_.filePath(QStringLiteral("Corvane"))), 0700);
    SettingsUserDefaults d(path());
    EXPECT_EQ(d.integerValue("big"), INT64_MIN);
    EXPECT_EQ(d.stringValue("unicode"), "\xE2\x80\x9CVelto\xE2\x80\x9D \xF0\x9F\x98\x80");
    EXPECT_EQ(d.stringListValue("shortcuts"), list);
    EXPECT_EQ(d.boolValue("automation-explained-AC/DC"), true);
    EXPECT_EQ(d.boolValue("automation-explained-AC"), false);
    EXPECT_EQ(d.boolValue("a//b"), true);
    EXPECT_EQ(d.boolValue("a/b"), std::nullopt);
    EXPECT_EQ(d.boolValue("/"), std::nullopt);
    EXPECT_EQ(d.boolValue("%2F"), false);
    EXPECT_EQ(d.stringValue("Relay"), "upper");
    EXPECT_EQ(d.stringValue("relay"), "lower");
}

TEST_F(SettingsUserDefaultsTest, HandWrittenOrDamagedEntriesReadAsAbsent) {
    {
        QFile file(path());
        ASSERT_TRUE(QDir().mkpath(dir_.filePath(QStringLiteral("Corvane"))));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[General]\n"
                   "untagged=true\n"
                   "bad-bool=b:yes\n"
                   "bad-int=i:12x\n"
                   "huge-int=i:99999999999999999999\n"
                   "bad-list=l:[1]\n"
                   "cut-list=l:[\"a\"\n"
                   "good=b:true\n");
    }
    SettingsUserDefaults d(path());
    for (const char* key :
         {"untagged", "bad-bool", "bad-int", "huge-int", "bad-list", "cut-list"}) {
        EXPECT_EQ(reads(d, key), "- - - -") << key;
    }
    EXPECT_EQ(reads(d, "good"), "b:true - - -");

    // Edited by hand while in use, with a line that is no entry: QSettings reports a format error
    // when it reads the file again for the next write. That is no reason to refuse the write,
    // which keeps the readable entries.
    {
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write("a line that is no entry\nhand=s:added\n");
    }
    EXPECT_EQ(errorOf([&] { d.setInteger("new", 5); }), "no error");
    const auto disk = onDisk();
    EXPECT_EQ(reads(*disk, "new"), "- i:5 - -");
    EXPECT_EQ(reads(*disk, "hand"), "- - s:added -");
    EXPECT_EQ(reads(*disk, "good"), "b:true - - -");
}

TEST_F(SettingsUserDefaultsTest, AWriteTheDiskRefusesThrowsAndChangesNothing) {
    {
        SettingsUserDefaults seed(path());
        seed.setBool("flag", true);
        seed.setInteger("count", 7);
        seed.setString("name", "old");
        seed.setStringList("list", {"a"});
        seed.setString("kept", "yes");
    }
    const QByteArray file = contents(path());
    SettingsUserDefaults d(path());
    struct Row {
        const char* key;
        std::function<void(SettingsUserDefaults&)> write;
        const char* operation;
    };
    const Row rows[] = {
        {"flag", [](SettingsUserDefaults& s) { s.setBool("flag", false); }, "saving \"flag\""},
        {"count", [](SettingsUserDefaults& s) { s.setInteger("count", 8); }, "saving \"count\""},
        {"name", [](SettingsUserDefaults& s) { s.setString("name", "new"); }, "saving \"name\""},
        {"list",
         [](SettingsUserDefaults& s) {
             s.setStringList("list", {"b", "c"});
         },
         "saving \"list\""},
        {"kept", [](SettingsUserDefaults& s) { s.remove("kept"); }, "removing \"kept\""},
        {"fresh", [](SettingsUserDefaults& s) { s.setBool("fresh", true); }, "saving \"fresh\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key);
        const std::string before = reads(d, row.key);
        std::string error;
        {
            RefusingDisk full;
            error = errorOf([&] { row.write(d); });
        }
        EXPECT_THAT(error, HasSubstr(path().toStdString() + ": " + row.operation + " failed: "));
        // What reads give is what the file holds, and the file is untouched.
        EXPECT_EQ(reads(d, row.key), before);
        EXPECT_EQ(contents(path()), file);
    }

    // Once the disk takes writes again, the next one succeeds and saves itself alone: none of the
    // refused changes reaches the file after all.
    d.setString("later", "saved");
    const auto disk = onDisk();
    EXPECT_EQ(reads(*disk, "later"), "- - s:saved -");
    EXPECT_EQ(reads(*disk, "flag"), "b:true - - -");
    EXPECT_EQ(reads(*disk, "count"), "- i:7 - -");
    EXPECT_EQ(reads(*disk, "name"), "- - s:old -");
    EXPECT_EQ(disk->stringListValue("list"), std::vector<std::string>{"a"});
    EXPECT_EQ(reads(*disk, "kept"), "- - s:yes -");
    EXPECT_EQ(reads(*disk, "fresh"), "- - - -");
    EXPECT_EQ(mode(path()), 0600);
}

TEST_F(SettingsUserDefaultsTest, AFolderThatIsAFileRefusesWritesWithTheReason) {
    const QString blocker = dir_.filePath(QStringLiteral("Corvane"));
    {
        QFile file(blocker);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    SettingsUserDefaults d(path());
    const std::string failed = path().toStdString() + ": saving \"relay\" failed: Not a directory";
    EXPECT_EQ(errorOf([&] { d.setString("relay", "wss://example"); }), failed);
    EXPECT_EQ(errorOf([&] { d.setStringList("relay", {}); }), failed);
    EXPECT_EQ(reads(d, "relay"), "- - - -");
    // Removing what is not there asks nothing of the disk.
    EXPECT_EQ(errorOf([&] { d.remove("relay"); }), "no error");
}

TEST_F(SettingsUserDefaultsTest, AReaderNeverSeesAValueThatDidNotReachTheDisk) {
    SettingsUserDefaults d(path());
    d.setString("name", "old");
    std::atomic<bool> done = false;
    int refused = 0;
    int seen = 0;
    {
        RefusingDisk full;
        std::thread writer([&] {
            for (int i = 0; i < 200; ++i) {
                refused += errorOf([&] { d.setString("name", "new"); }) != "no error" ? 1 : 0;
            }
            done = true;
        });
        while (!done) {
            seen += d.stringValue("name") != "old" ? 1 : 0;
        }
        writer.join();
    }
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(refused, 200);
    EXPECT_EQ(d.stringValue("name"), "old");
}
