#include "CorvanePlatform/SettingsUserDefaults.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using corvane::SettingsUserDefaults;

namespace {

class SettingsUserDefaultsTest : public ::testing::Test {
protected:
    QString path() const { return dir_.filePath(QStringLiteral("Corvane/defaults.ini")); }
    QTemporaryDir dir_;
};

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
    EXPECT_EQ(reads(d, "untagged"), "- - - -");
    EXPECT_EQ(reads(d, "bad-bool"), "- - - -");
    EXPECT_EQ(reads(d, "bad-int"), "- - - -");
    EXPECT_EQ(reads(d, "huge-int"), "- - - -");
    EXPECT_EQ(reads(d, "bad-list"), "- - - -");
    EXPECT_EQ(reads(d, "cut-list"), "- - - -");
    EXPECT_EQ(reads(d, "good"), "b:true - - -");
}
