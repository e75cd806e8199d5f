// Desktop entries as the inventory sees them: ids, shadowing, what counts as hidden, and the
// app target policy on entries that live under /usr.

#include "DesktopTestSupport.h"

#include "actions/AppInventory.h"
#include "actions/AppTargetPolicy.h"
#include "linuxdesktop/AppScopes.h"
#include "linuxdesktop/LinuxAppCatalog.h"
#include "linuxdesktop/LinuxApplicationBundles.h"
#include "linuxdesktop/LinuxWorkspace.h"

#include "core/SystemClock.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace corvane {
namespace {

using desktop_test::writeFile;

LinuxWorkspace::Options options(std::string display, std::string release, std::string proc = {}) {
    LinuxWorkspace::Options options;
    options.display = std::move(display);
    options.osRelease = std::move(release);
    options.wayland = !proc.empty();
    options.procRoot = std::move(proc);
    return options;
}

std::string entry(const std::string& name, const std::string& more = "") {
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=/bin/true\n" + more;
}

class LinuxAppCatalogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        user = root.path().toStdString() + "/user/applications";
        system = root.path().toStdString() + "/system/applications";
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(user + "/kde")));
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(system)));
    }

    QTemporaryDir root;
    std::string user;
    std::string system;
};

TEST_F(LinuxAppCatalogTest, IdsComeFromTheFolderAndTheUsersEntryShadowsTheSystems) {
    writeFile(user + "/org.example.Editor.desktop", entry("My Editor"));
    writeFile(system + "/org.example.Editor.desktop", entry("System Editor"));
    writeFile(user + "/kde/konsole.desktop", entry("Konsole"));
    writeFile(system + "/viewer.desktop", entry("Viewer"));
    writeFile(system + "/notes.txt", "not an entry");
    const LinuxAppCatalog catalog({user, system});

    const std::vector<std::pair<std::string, std::string>> expected{
        {"kde-konsole.desktop", user + "/kde/konsole.desktop"},
        {"org.example.Editor.desktop", user + "/org.example.Editor.desktop"},
        {"viewer.desktop", system + "/viewer.desktop"}};
    EXPECT_EQ(catalog.entries(), expected);
    for (const auto& [id, path] : expected) {
        EXPECT_EQ(catalog.pathOf(id), path) << id;
        EXPECT_EQ(catalog.identifierOf(path), id) << path;
    }
    // The shadowed copy keeps its id; an entry outside the folders goes by its file name.
    EXPECT_EQ(catalog.identifierOf(system + "/org.example.Editor.desktop"),
              "org.example.Editor.desktop");
    EXPECT_EQ(catalog.identifierOf("/elsewhere/a/b.desktop"), "b.desktop");
    EXPECT_EQ(catalog.identifierOf(system + "/notes.txt"), "");
    for (const char* bad : {"missing.desktop", "kde/konsole.desktop",
                            "../applications/viewer.desktop", "viewer", ""}) {
        EXPECT_EQ(catalog.pathOf(bad), std::nullopt) << bad;
    }
}

TEST_F(LinuxAppCatalogTest, InventoryListsWhatTheDesktopShows) {
    const std::string tryExec = "TryExec=/nonexistent/program\n";
    const std::vector<std::pair<std::string, std::string>> files{
        {"org.example.Editor.desktop", entry("Editor")},
        {"org.example.Hidden.desktop", entry("Removed", "Hidden=true\n")},
        {"org.example.Helper.desktop", entry("Helper", "NoDisplay=true\n")},
        {"org.example.Elsewhere.desktop", entry("Elsewhere", "OnlyShowIn=NoSuchDesktop;\n")},
        {"org.example.Missing.desktop", entry("Missing", tryExec)},
        {"org.example.Link.desktop", "[Desktop Entry]\nType=Link\nName=Link\nURL=https://a.b/\n"},
        {"org.example.Broken.desktop", "no group here\n"},
        // The identifier rule takes dotted names of letters, digits and dashes only.
        {"under_score.desktop", entry("Underscore")},
        {"calc.desktop", entry("Calculator")}};
    for (const auto& [name, text] : files) {
        writeFile(user + '/' + name, text);
    }
    // The user's Hidden copy deletes the system's entry of the same id.
    writeFile(system + "/org.example.Hidden.desktop", entry("Removed"));
    const LinuxAppCatalog catalog({user, system});
    const LinuxApplicationBundles bundles(catalog);

    std::vector<std::pair<std::string, std::string>> listed;
    for (const AppInventory::Entry& app : AppInventory::discover(bundles, catalog, {}, {})) {
        listed.emplace_back(app.name, app.bundleID);
    }
    const std::vector<std::pair<std::string, std::string>> expected{
        {"Calculator", "calc.desktop"}, {"Editor", "org.example.Editor.desktop"}};
    EXPECT_EQ(listed, expected);

    EXPECT_EQ(bundles.info(user + "/org.example.Link.desktop"), std::nullopt);
    EXPECT_EQ(bundles.info(user + "/org.example.Missing.desktop"), std::nullopt);
    EXPECT_EQ(bundles.info(user + "/nonexistent.desktop"), std::nullopt);
}

TEST_F(LinuxAppCatalogTest, SystemEntriesUnderUsrAreNoProtectedApps) {
    // The Mac's rule keeps /usr out of reach; every desktop keeps its applications there.
    const LinuxAppCatalog catalog({"/usr/share/applications"});
    const LinuxApplicationBundles bundles(catalog);
    int checked = 0;
    for (const auto& [id, path] : catalog.entries()) {
        const std::optional<ApplicationBundles::Info> info = bundles.info(path);
        if (info && !info->hidden && AppInventory::acceptsIdentifier(id)) {
            EXPECT_TRUE(AppTargetPolicy::allows(bundles, path)) << path;
            ++checked;
        }
    }
    if (checked == 0) {
        GTEST_SKIP() << "no application entry in /usr/share/applications to check";
    }
}

TEST(LinuxWorkspaceWithoutDisplay, ListsNothingAndRefusesRequests) {
    QTemporaryDir root;
    const std::string release = root.path().toStdString() + "/os-release";
    writeFile(release, "NAME=\"Example OS\"\nVERSION_ID=\"22.04.3\"\n"
                       "PRETTY_NAME='Example OS 22.04.3 LTS'\nBROKEN LINE\n");
    const LinuxAppCatalog catalog({root.path().toStdString()});
    SystemClock clock;
    // No server there, and one on another host (never waited for on the main thread).
    for (const char* display : {":4093", "remote.invalid:0"}) {
        LinuxWorkspace workspace(catalog, clock, options(display, release));
        EXPECT_TRUE(workspace.runningApplications().empty()) << display;
        EXPECT_EQ(workspace.frontmostApplication(), std::nullopt) << display;
        EXPECT_FALSE(workspace.activate(1)) << display;
        EXPECT_FALSE(workspace.terminate(1)) << display;
    }
    LinuxWorkspace workspace(catalog, clock, options(":4093", release));
    const OSVersion version = workspace.osVersion();
    EXPECT_EQ(std::tie(version.major, version.minor, version.patch, version.text),
              std::make_tuple(22, 4, 3, std::string("Example OS 22.04.3 LTS")));
    LinuxWorkspace noRelease(catalog, clock, options(":4093", root.path().toStdString() + "/m"));
    EXPECT_EQ(noRelease.osVersion().major, 0);
    EXPECT_EQ(
        desktop_test::finish(workspace.openApplication(root.path().toStdString() + "/x.txt", true)),
        "app_not_found");
}

TEST(LinuxAppScopes, UnitNamesOfGnomeAndKdeNameTheirEntries) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> rows{
        {"app-gnome-org.gnome.Calculator-4242.scope", "org.gnome.Calculator.desktop"},
        {"app-org.kde.konsole@3f2a1b.service", "org.kde.konsole.desktop"},
        {"app-kde-org.kde.dolphin@0.service", "org.kde.dolphin.desktop"},
        {"app-gnome-firefox\\x2desr-977.scope", "firefox-esr.desktop"},
        {"app-flatpak-org.example.Editor-12.scope", "org.example.Editor.desktop"},
        {"app-gnome-org.example.Editor.service", "org.example.Editor.desktop"},
        {"app-glib-cc.example.Tool-77.scope", "cc.example.Tool.desktop"},
        {"dbus.service", std::nullopt},
        {"session-2.scope", std::nullopt},
        {"app-.scope", std::nullopt},
        {"app-gnome-bad\\x2-1.scope", std::nullopt},
        {"app-gnome-slash\\x2fname-1.scope", std::nullopt},
        {"app.slice", std::nullopt},
    };
    for (const auto& [unit, id] : rows) {
        EXPECT_EQ(AppScopes::desktopIDOfUnit(unit), id) << unit;
    }
}

TEST(LinuxWorkspaceOnWayland, ApplicationUnitsRunAndNothingIsInFront) {
    QTemporaryDir root;
    const std::string proc = root.path().toStdString() + "/proc";
    const std::string apps = root.path().toStdString() + "/applications";
    const std::string slice = "0::/user.slice/user-1000.slice/user@1000.service/app.slice/";
    for (const auto& [pid, cgroup] : std::vector<std::pair<std::string, std::string>>{
             {"100", slice + "app-gnome-org.example.Alpha-100.scope"},
             {"101", slice + "app-gnome-org.example.Alpha-100.scope"},
             {"99", slice + "app-gnome-org.example.Alpha-55.scope"},
             {"200", "1:name=systemd:/\n" + slice + "app-org.example.Beta@ab12.service"},
             {"300", "0::/user.slice/user-1000.slice/session-2.scope"},
             {"self", slice + "app-gnome-org.example.Self-1.scope"}}) {
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(proc + '/' + pid)));
        writeFile(proc + '/' + pid + "/cgroup", cgroup + "\n");
    }
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(apps)));
    writeFile(apps + "/org.example.Alpha.desktop", entry("Alpha"));
    const LinuxAppCatalog catalog({apps});
    SystemClock clock;
    LinuxWorkspace workspace(catalog, clock, options(":4093", "/etc/os-release", proc));
    const QFuture<void> reading = workspace.refreshEntries();
    ASSERT_TRUE(desktop_test::waitUntil([&reading] { return reading.isFinished(); }));

    std::vector<std::tuple<std::int32_t, std::optional<std::string>, std::optional<std::string>,
                           std::optional<std::string>>>
        listed;
    for (const RunningApplication& app : workspace.runningApplications()) {
        listed.emplace_back(app.pid, app.bundleID, app.bundlePath, app.localizedName);
        EXPECT_FALSE(app.active);
    }
    // One entry per unit (two copies of Alpha), named by its first process.
    const decltype(listed) expected{
        {99, "org.example.Alpha.desktop", apps + "/org.example.Alpha.desktop", "Alpha"},
        {100, "org.example.Alpha.desktop", apps + "/org.example.Alpha.desktop", "Alpha"},
        {200, "org.example.Beta.desktop", std::nullopt, std::nullopt}};
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(workspace.frontmostApplication(), std::nullopt);
    EXPECT_FALSE(workspace.terminate(99));
    EXPECT_FALSE(workspace.activate(99));
}

} // namespace
} // namespace corvane
