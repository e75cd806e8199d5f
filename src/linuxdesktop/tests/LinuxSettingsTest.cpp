// The person's own settings on a Linux desktop: Shortcuts run from their folder, the autostart
// entry, and GNOME's banners setting (on the private session bus the wrapper starts, with the real
// settings service behind it).

#include "DesktopTestSupport.h"

#include "actions/EverydayActions.h"
#include "linuxdesktop/GLibOwners.h"
#include "linuxdesktop/GnomeFocusModes.h"
#include "linuxdesktop/ShortcutFolderRunner.h"
#include "linuxdesktop/XdgLoginItems.h"
#include "platform/QtProcessRunner.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <gio/gdesktopappinfo.h>
#include <gtest/gtest.h>

#include <csignal>

namespace corvane {
namespace {

using desktop_test::readFile;
using desktop_test::waitUntil;
using desktop_test::writeFile;

class LinuxShortcutsTest : public ::testing::Test {
protected:
    void SetUp() override {
        desktop_test::ensureApplication();
        ASSERT_TRUE(root.isValid());
        folder = root.path().toStdString() + "/shortcuts";
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
    }

    // The action's outcome, its 100 ms polls passing in virtual time 20 ms of real time apart.
    std::string run(ProcessRunner& runner, const std::string& name) {
        std::vector<std::string> approved{name};
        const auto probe = test::watch(EverydayActions::runShortcut(
            fakes.platform(&runner), JSON(JSON::Object{{"name", JSON(name)}}), approved));
        waitUntil(
            [&] {
                if (!probe->done && fakes.clock.pendingSleeps() > 0) {
                    QThread::msleep(20);
                    fakes.clock.advance(std::chrono::milliseconds(100));
                }
                return probe->done;
            },
            std::chrono::seconds(30));
        return probe->outcome;
    }

    QTemporaryDir root;
    std::string folder;
    test::FakePlatform fakes;
    QtProcessRunner tools;
};

bool gone(pid_t pid) {
    // Ended, or a zombie left to a parent that does not reap.
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    return stat.empty() || (close != std::string::npos && stat.substr(close + 2, 1) == "Z");
}

TEST_F(LinuxShortcutsTest, RunsTheFoldersExecutablesWithinTheToolLimits) {
    const std::string marker = root.path().toStdString() + "/marker";
    const std::string childPid = root.path().toStdString() + "/child";
    writeFile(folder + "/Say hello", "#!/bin/sh\necho \"ran $#\" > '" + marker + "'\n", 0755);
    writeFile(folder + "/fails", "#!/bin/sh\nexit 3\n", 0755);
    // 40 MB of output on both streams must neither block the script nor be kept.
    writeFile(folder + "/chatty",
              "#!/bin/sh\nhead -c 20000000 /dev/zero\nhead -c 20000000 /dev/zero >&2\n", 0755);
    writeFile(folder + "/slow", "#!/bin/sh\nsleep 60 &\necho $! > '" + childPid + "'\nwait\n",
              0755);
    writeFile(folder + "/plain", "#!/bin/sh\nexit 0\n", 0644);
    writeFile(folder + "/shared", "#!/bin/sh\nexit 0\n", 0755);
    ASSERT_EQ(::chmod((folder + "/shared").c_str(), 0777), 0);
    // A program outside the folder that a name must never reach.
    writeFile(root.path().toStdString() + "/escape", "#!/bin/sh\ntouch '" + marker + "'\n", 0755);
    ShortcutFolderRunner runner(tools, folder);

    EXPECT_EQ(run(runner, "Say hello"), "{}");
    EXPECT_EQ(readFile(marker), "ran 0\n");
    const std::vector<std::pair<std::string, std::string>> rows{
        {"fails", "action_failed"},
        {"chatty", "{}"},
        {"missing", "action_failed"},
        {"plain", "action_failed"},
        {"shared", "action_failed"},
        {"../escape", "invalid_shortcut_name"},
        {"sub/name", "invalid_shortcut_name"},
        {"..", "invalid_shortcut_name"},
        {".", "invalid_shortcut_name"},
        {"tab\tname", "invalid_shortcut_name"},
        {std::string("nul\0name", 8), "invalid_shortcut_name"},
        {"bell\x07", "invalid_shortcut_name"},
    };
    ASSERT_EQ(::unlink(marker.c_str()), 0);
    for (const auto& [name, outcome] : rows) {
        EXPECT_EQ(run(runner, name), outcome) << name;
    }
    EXPECT_FALSE(QFile::exists(QString::fromStdString(marker)));

    // Past the time limit the script and what it started end together.
    EXPECT_EQ(run(runner, "slow"), "action_timeout_outcome_unknown");
    const pid_t child = std::stoi(readFile(childPid));
    EXPECT_TRUE(waitUntil([child] { return gone(child); }, std::chrono::seconds(5)));

    // A folder others may write in is not trusted with approved names.
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
    EXPECT_EQ(run(runner, "Say hello"), "action_failed");
    ShortcutFolderRunner nowhere(tools, root.path().toStdString() + "/absent");
    EXPECT_EQ(run(nowhere, "Say hello"), "action_failed");
}

class LinuxLoginItemTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        // A program path and arguments that need every kind of quoting an Exec line has.
        const std::string programFolder = root.path().toStdString() + "/My \"Velto\" $1";
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(programFolder)));
        program = programFolder + "/velto";
        argumentsFile = root.path().toStdString() + "/arguments";
        writeFile(program,
                  "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + argumentsFile +
                      "'\n",
                  0755);
        autostart = root.path().toStdString() + "/config/autostart";
    }

    QTemporaryDir root;
    std::string program;
    std::string argumentsFile;
    std::string autostart;
};

TEST_F(LinuxLoginItemTest, TheEntryStartsTheProgramAndSwitchingOffKeepsItHidden) {
    const std::vector<std::string> arguments{"--headless", "a \"quoted\" $HOME `x` \\ 5% 'q'"};
    XdgLoginItems item(autostart, program, arguments);
    EXPECT_EQ(item.status(), LoginItems::Status::NotRegistered);
    ASSERT_TRUE(item.registerItem());
    EXPECT_EQ(item.status(), LoginItems::Status::Enabled);
    struct stat status {};
    ASSERT_EQ(::stat(item.path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);

    // The desktop's own reader starts the program with the very arguments.
    const GLibOwners::Object<GDesktopAppInfo> info(
        g_desktop_app_info_new_from_filename(item.path().c_str()));
    ASSERT_TRUE(info);
    ASSERT_TRUE(g_app_info_launch(G_APP_INFO(info.get()), nullptr, nullptr, nullptr));
    EXPECT_TRUE(waitUntil(
        [&] { return readFile(argumentsFile) == arguments[0] + '\n' + arguments[1] + '\n'; }));

    ASSERT_TRUE(item.unregisterItem());
    EXPECT_EQ(item.status(), LoginItems::Status::NotRegistered);
    EXPECT_NE(readFile(item.path()).find("\nHidden=true\n"), std::string::npos);
    ASSERT_TRUE(item.registerItem());
    EXPECT_EQ(item.status(), LoginItems::Status::Enabled);

    EXPECT_EQ(XdgLoginItems(autostart, program + "-missing").status(),
              LoginItems::Status::NotFound);
}

TEST_F(LinuxLoginItemTest, AFailedWriteLeavesNothingHalfWritten) {
    for (const auto& [path, arguments] :
         std::vector<std::pair<std::string, std::vector<std::string>>>{
             {program, {"line\nbreak"}}, {program + "\t", {}}, {"/opt/100%/velto", {}}}) {
        XdgLoginItems unwritable(autostart, path, arguments);
        EXPECT_FALSE(unwritable.registerItem()) << path;
        EXPECT_FALSE(QFile::exists(QString::fromStdString(unwritable.path())));
    }

    // The entry's place is taken by a folder that cannot be replaced.
    XdgLoginItems item(autostart, program);
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(item.path() + "/inside")));
    EXPECT_FALSE(item.registerItem());
    EXPECT_FALSE(item.unregisterItem());
    EXPECT_EQ(QDir(QString::fromStdString(autostart)).entryList(QDir::Files), QStringList());

    // A folder path that is a file cannot hold the entry.
    writeFile(root.path().toStdString() + "/file", "");
    EXPECT_FALSE(
        XdgLoginItems(root.path().toStdString() + "/file/autostart", program).registerItem());
}

std::string banners() {
    QProcess dconf;
    dconf.start(
        QStringLiteral("dconf"),
        {QStringLiteral("read"), QStringLiteral("/org/gnome/desktop/notifications/show-banners")});
    if (!dconf.waitForFinished(10000)) {
        return "dconf did not answer";
    }
    return dconf.readAllStandardOutput().trimmed().toStdString();
}

TEST(LinuxFocusModesTest, DoNotDisturbTurnsGnomesBannersOffAndReadsBack) {
    if (const std::string why = desktop_test::unavailable("CORVANE_SETTINGS_UNAVAILABLE");
        !why.empty()) {
        GTEST_SKIP() << why;
    }
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (bus == nullptr || std::string(bus).find("no-bus") != std::string::npos) {
        GTEST_SKIP() << "no private session bus: run through run-with-desktop.sh";
    }
    int presses = 0;
    const auto press = [&presses] {
        ++presses;
    };
    GnomeFocusModes gnome("ubuntu:GNOME");
    EXPECT_EQ(desktop_test::finish(desktop_test::focusOutcome(gnome, true, press)),
              R"("confirmed")");
    EXPECT_EQ(banners(), "false");
    EXPECT_EQ(desktop_test::finish(desktop_test::focusOutcome(gnome, true, press)),
              R"("confirmed")");
    EXPECT_EQ(presses, 2);
    // A check that throws stops before the change.
    EXPECT_EQ(desktop_test::finish(desktop_test::focusOutcome(
                  gnome, false, [] { throw ContractError("screen_locked"); })),
              "screen_locked");
    EXPECT_EQ(banners(), "false");
    EXPECT_EQ(desktop_test::finish(desktop_test::focusOutcome(gnome, false, press)),
              R"("confirmed")");
    EXPECT_EQ(banners(), "true");

    GnomeFocusModes kde("KDE");
    GnomeFocusModes noSchema("GNOME", "org.example.NoSuchSchema");
    GnomeFocusModes notAFlag("GNOME", GnomeFocusModes::defaultSchema, "application-children");
    for (GnomeFocusModes* modes : {&kde, &noSchema, &notAFlag}) {
        EXPECT_EQ(desktop_test::finish(desktop_test::focusOutcome(*modes, true, press)),
                  R"("unavailable")");
    }
    EXPECT_EQ(banners(), "true");
}

} // namespace
} // namespace corvane
