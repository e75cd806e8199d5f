// The workspace on a real X display with a window manager (the wrapper starts both): test windows
// opened from desktop entries of the test's own, found, activated and asked to close, through the
// app actions themselves.

#include "DesktopTestSupport.h"

#include "actions/EverydayActions.h"
#include "core/SystemClock.h"
#include "linuxdesktop/LinuxAppCatalog.h"
#include "linuxdesktop/LinuxApplicationBundles.h"
#include "linuxdesktop/LinuxWorkspace.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <gtest/gtest.h>

namespace corvane {
namespace {

using desktop_test::finish;
using desktop_test::waitUntil;
using desktop_test::writeFile;

constexpr const char* alphaID = "org.example.Alpha.desktop";
constexpr const char* betaID = "org.example.Beta.desktop";
constexpr const char* stubbornID = "org.example.Stubborn.desktop";

std::string windowEntry(const std::string& name, const std::string& arguments,
                        const std::string& more = "") {
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + CORVANE_TEST_WINDOW +
           " " + arguments + "\n" + more;
}

class LinuxWorkspaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = desktop_test::unavailable("CORVANE_DISPLAY_UNAVAILABLE");
            !why.empty()) {
            GTEST_SKIP() << why;
        }
        if (std::getenv("DISPLAY") == nullptr) {
            GTEST_SKIP() << "no X display: run through run-with-desktop.sh";
        }
        desktop_test::ensureApplication();
        ASSERT_TRUE(root.isValid());
        folder = root.path().toStdString() + "/applications";
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
        writeFile(folder + '/' + alphaID, windowEntry("Alpha Editor", "\"Alpha window\""));
        // Started by hand below: known only by the window class its entry states.
        writeFile(folder + '/' + betaID,
                  windowEntry("Beta Viewer", "\"Beta window\"",
                              "StartupWMClass=VeltoLinuxDesktopTestWindow\n"));
        writeFile(folder + '/' + stubbornID,
                  windowEntry("Stubborn", "--keep-open \"Stubborn window\""));
        writeFile(folder + "/org.example.Helper.desktop",
                  windowEntry("Helper", "Helper", "NoDisplay=true\n"));
        catalog = std::make_unique<LinuxAppCatalog>(std::vector<std::string>{folder});
        bundles = std::make_unique<LinuxApplicationBundles>(*catalog);
        workspace = std::make_unique<LinuxWorkspace>(*catalog, clock);
        // The window classes are told apart by the entries' reading.
        const QFuture<void> reading = workspace->refreshEntries();
        ASSERT_TRUE(waitUntil([&reading] { return reading.isFinished(); }));
    }

    void TearDown() override {
        for (const std::int32_t pid : started) {
            ::kill(pid, SIGKILL);
        }
        if (beta.state() != QProcess::NotRunning) {
            beta.kill();
            beta.waitForFinished(5000);
        }
    }

    Platform platform() {
        const Platform base = fakes.platform();
        return Platform{.workspace = *workspace,
                        .bundles = *bundles,
                        .sessionLock = base.sessionLock,
                        .accessibility = base.accessibility,
                        .input = base.input,
                        .focusModes = base.focusModes,
                        .audio = base.audio,
                        .mediaPlayers = base.mediaPlayers,
                        .powerSources = base.powerSources,
                        .host = base.host,
                        .appCatalog = *catalog,
                        .screenCapture = base.screenCapture,
                        .keychain = base.keychain,
                        .processes = base.processes,
                        .loginItems = base.loginItems,
                        .defaults = base.defaults,
                        .prompts = base.prompts,
                        .clock = clock};
    }

    static JSON byID(const std::string& id) { return JSON(JSON::Object{{"bundle_id", JSON(id)}}); }

    std::string open(const std::string& id) {
        std::string outcome = finish(EverydayActions::openApp(platform(), byID(id), {}));
        if (const auto app = running(id)) {
            started.push_back(app->pid);
        }
        return outcome;
    }

    std::string quit(const std::string& id) {
        return finish(EverydayActions::quitApp(platform(), byID(id), {}));
    }

    std::optional<RunningApplication> running(const std::string& id) const {
        for (RunningApplication& app : workspace->runningApplications()) {
            if (app.bundleID == id) {
                return std::move(app);
            }
        }
        return std::nullopt;
    }

    bool inFront(const std::string& id) const {
        const std::optional<RunningApplication> front = workspace->frontmostApplication();
        return front && front->bundleID == id;
    }

    QTemporaryDir root;
    std::string folder;
    test::FakePlatform fakes;
    SystemClock clock;
    std::unique_ptr<LinuxAppCatalog> catalog;
    std::unique_ptr<LinuxApplicationBundles> bundles;
    std::unique_ptr<LinuxWorkspace> workspace;
    QProcess beta;
    std::vector<std::int32_t> started;
};

TEST_F(LinuxWorkspaceTest, OpensFindsActivatesAndClosesApplicationsByTheirEntries) {
    const auto before = WireTime::Instant::clock::now() - std::chrono::seconds(2);
    // The headless agent's own Qt runs without a screen; what it opens must still show.
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    EXPECT_EQ(open(alphaID), R"({"already_open":false,"focused":true})");
    qputenv("QT_QPA_PLATFORM", platform);
    const std::optional<RunningApplication> alpha = running(alphaID);
    ASSERT_TRUE(alpha);
    EXPECT_EQ(alpha->bundlePath, folder + '/' + alphaID);
    EXPECT_EQ(alpha->localizedName, "Alpha Editor");
    ASSERT_TRUE(alpha->launchDate);
    EXPECT_GE(*alpha->launchDate, before);
    EXPECT_LE(*alpha->launchDate, WireTime::Instant::clock::now() + std::chrono::seconds(2));
    EXPECT_TRUE(inFront(alphaID));

    // Not launched through GIO: the window class names the entry.
    beta.start(QString::fromUtf8(CORVANE_TEST_WINDOW), {QStringLiteral("Beta window")});
    ASSERT_TRUE(waitUntil([&] { return inFront(betaID); }));
    EXPECT_EQ(running(betaID)->pid, static_cast<std::int32_t>(beta.processId()));
    EXPECT_EQ(running(alphaID)->active, false);

    EXPECT_TRUE(workspace->activate(alpha->pid));
    EXPECT_TRUE(waitUntil([&] { return inFront(alphaID); }));
    EXPECT_EQ(open(alphaID), R"({"already_open":true,"focused":true})");

    // The close request ends the program once its last window goes.
    EXPECT_EQ(quit(betaID), "{}");
    EXPECT_TRUE(waitUntil([&] { return beta.state() == QProcess::NotRunning; }));
    EXPECT_EQ(quit(betaID), R"({"already_closed":true})");

    // A program that ignores the request stays, and the quit says it waits on the person.
    EXPECT_EQ(open(stubbornID), R"({"already_open":false,"focused":true})");
    EXPECT_EQ(quit(stubbornID), "quit_pending_user_attention");
    EXPECT_TRUE(running(stubbornID));

    EXPECT_EQ(quit(alphaID), "{}");
    EXPECT_FALSE(running(alphaID));
    EXPECT_EQ(open("org.example.Helper.desktop"), "protected_app");
}

TEST_F(LinuxWorkspaceTest, WebAddressesGoToTheDefaultHandler) {
    // A handler of the test's own, made the default for https in the person's settings.
    const std::string received = root.path().toStdString() + "/received";
    const std::string handler = root.path().toStdString() + "/handler.sh";
    writeFile(handler, "#!/bin/sh\nprintf '%s' \"$1\" > '" + received + "'\n", 0755);
    const std::string data = std::getenv("XDG_DATA_HOME");
    const std::string config = std::getenv("XDG_CONFIG_HOME");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(data + "/applications")));
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(config)));
    writeFile(data + "/applications/org.example.Browser.desktop",
              "[Desktop Entry]\nType=Application\nName=Browser\nExec=" + handler +
                  " %u\nMimeType=x-scheme-handler/https;\n");
    writeFile(config + "/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/https=org.example.Browser.desktop\n");

    const std::string url = "https://example.invalid/a%20b?c=1&d=%C3%A9";
    // GIO notices new entries through its own file monitor.
    ASSERT_TRUE(waitUntil([&] { return workspace->openURL(url); }, std::chrono::seconds(5)));
    EXPECT_TRUE(waitUntil([&] { return desktop_test::readFile(received) == url; }));
    EXPECT_FALSE(workspace->openURL("x-no-handler-here:thing"));
    EXPECT_FALSE(workspace->openURL("no scheme"));
}

} // namespace
} // namespace corvane
