#include "actions/AppTargetPolicy.h"

#include "support/FakePlatform.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace corvane;
using namespace corvane::test;

namespace {

class AppTargetPolicyTest : public ::testing::Test {
protected:
    AppTargetPolicyTest() {
        root = QDir(dir.path()).canonicalPath().toStdString();
        for (const char* folder : {"/Applications/Nameless.app", "/Links"}) {
            EXPECT_TRUE(QDir().mkpath(QString::fromStdString(root + folder)));
        }
        bundle("/Applications/Normal.app", {});
        bundle("/Applications/Host.app", {});
        bundle("/Applications/Host.app/Contents/Helpers/Nested.app", {});
        bundle("/Applications/Agent.app", {{"LSUIElement", PlatformValue(true)}});
        bundle("/Applications/Daemon.app", {{"LSBackgroundOnly", PlatformValue(true)}});
        bundle("/Applications/Quiet.app", {{"LSUIElement", PlatformValue("1")}});
        bundle("/Applications/Plain.app",
               {{"LSUIElement", PlatformValue(false)}, {"LSBackgroundOnly", PlatformValue(0)}});
        fakes.workspace.bundles[root + "/Applications/Nameless.app"] = {
            {"CFBundleName", PlatformValue("Nameless")}};
        // Outside any real folder: judged by the workspace alone.
        fakes.workspace.bundles["/System/Applications/Calculator.app"] = {
            {"CFBundleIdentifier", PlatformValue("com.apple.calculator")}};
        fakes.workspace.bundles["/System/Library/CoreServices/Finder.app"] = {
            {"CFBundleIdentifier", PlatformValue("com.apple.finder")}};
    }

    // A bundle folder on disk, its dictionary in the workspace.
    void bundle(const std::string& path, PlatformValue::Dictionary extra) {
        EXPECT_TRUE(QDir().mkpath(QString::fromStdString(root + path)));
        extra.emplace("CFBundleIdentifier", PlatformValue("com.example." + path.substr(14)));
        fakes.workspace.bundles[root + path] = std::move(extra);
    }
    void link(const std::string& at, const std::string& target) {
        ASSERT_TRUE(QFile::link(QString::fromStdString(target), QString::fromStdString(root + at)));
    }
    bool allows(const std::string& path) {
        return AppTargetPolicy::allows(fakes.mac.bundles(), path);
    }

    QTemporaryDir dir;
    std::string root;
    FakePlatform fakes;
};

} // namespace

TEST_F(AppTargetPolicyTest, PathAndBundleRules) {
    struct Row {
        std::string path;
        bool allowed;
    };
    const Row rows[] = {
        {root + "/Applications/Normal.app", true},
        {root + "/Applications/Normal.app/", true},
        {root + "/Applications/Plain.app", true},
        {"/System/Applications/Calculator.app", true},
        {root + "/Applications/Host.app/Contents/Helpers/Nested.app", false},
        {root + "/Applications/Host.app/Contents", false},
        {root + "/Applications/Agent.app", false},
        {root + "/Applications/Daemon.app", false},
        {root + "/Applications/Quiet.app", false},
        {root + "/Applications/Nameless.app", false},
        {root + "/Applications/Missing.app", false},
        {"/System/Library/CoreServices/Finder.app", false},
        {"/system/library/CoreServices/Finder.app", false},
        {"/usr/share/Tool.app", false},
        {"/usr", false},
        {"/Library/Apple/System/Thing.app", false},
        {"/System/Applications/../Library/CoreServices/Finder.app", false},
        {"Applications/Normal.app", false},
        {"", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(allows(row.path), row.allowed) << row.path;
        EXPECT_EQ(outcomeOf([&] { AppTargetPolicy::check(fakes.mac.bundles(), row.path); }),
                  row.allowed ? "ok" : "protected_app")
            << row.path;
    }
}

TEST_F(AppTargetPolicyTest, LinksAreJudgedByWhereTheyLead) {
    link("/Links/Normal.app", root + "/Applications/Normal.app");
    link("/Links/Helper.app", root + "/Applications/Host.app/Contents/Helpers/Nested.app");
    link("/Links/Apps", root + "/Applications");
    link("/Links/Finder.app", "/System/Library/CoreServices/Finder.app"); // missing target
    link("/Links/Relative.app", "../Applications/Agent.app");
    link("/Links/Loop.app", root + "/Links/Loop.app");

    EXPECT_TRUE(allows(root + "/Links/Normal.app"));
    EXPECT_EQ(fakes.workspace.bundleInfoAsked.back(), root + "/Applications/Normal.app");
    EXPECT_TRUE(allows(root + "/Links/Apps/Normal.app"));
    EXPECT_FALSE(allows(root + "/Links/Apps/Host.app/Contents/Helpers/Nested.app"));
    EXPECT_FALSE(allows(root + "/Links/Helper.app"));
    EXPECT_FALSE(allows(root + "/Links/Finder.app"));
    EXPECT_FALSE(allows(root + "/Links/Relative.app"));
    EXPECT_FALSE(allows(root + "/Links/Loop.app"));

    EXPECT_EQ(AppTargetPolicy::resolvedPath(root + "/Links/Finder.app"),
              "/System/Library/CoreServices/Finder.app");
    EXPECT_EQ(AppTargetPolicy::resolvedPath(root + "/Links/Apps/./x/../New.app/"),
              root + "/Applications/New.app");
    EXPECT_EQ(AppTargetPolicy::resolvedPath("/"), "/");
}
