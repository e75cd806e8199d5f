#include "SimFixture.h"
#include "sim/SimProcessRunner.h"

#include <QDirIterator>

#include <atomic>
#include <latch>
#include <sys/stat.h>
#include <thread>

namespace corvane {
namespace {

// One bundle and one Shortcut whose files differ in length per writer, so that a mix of two
// writes is not a whole file.
std::string scenarioNamed(const std::string& name) {
    return R"({"apps": [{"path": "Applications/Safari.app", "bundle": {"CFBundleName": ")" + name +
           R"("}}], "shortcuts": {")" + name + R"(": {}}})";
}

// Whole: one writer's version, not a mix, not empty.
bool whole(const QString& path, const std::vector<JSON>& versions) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    try {
        const JSON read = JSON::parse(file.readAll().toStdString());
        return std::find(versions.begin(), versions.end(), read) != versions.end();
    } catch (const JSONReadError&) {
        return false;
    }
}

// Two simulated Macs started at once on one data folder write the same bundle folder and the same
// Shortcuts stand-in: a reader never finds a file missing or half-written, the script stays
// executable, and no temporary file stays behind.
TEST(SimFilesTest, ConcurrentWritersOnOneRootLeaveOnlyWholeFiles) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString info =
        root.path() + QStringLiteral("/Applications/Safari.app/Contents/Info.json");
    const QString script = root.path() + QStringLiteral("/usr/bin/shortcuts");
    const std::vector<JSON> versions = {JSON::parse(R"({"CFBundleName": "Safari"})"),
                                        JSON::parse(R"({"CFBundleName": "Safari Technology"})")};

    std::atomic<int> failedWrites{0};
    std::atomic<int> brokenReads{0};
    std::atomic<bool> writing{true};
    std::latch start(3);
    const auto writer = [&](std::string scenario) {
        SimulatedMac mac(root.path());
        start.arrive_and_wait();
        for (int i = 0; i < 100; ++i) {
            try {
                mac.load(scenario);
            } catch (const std::exception&) {
                ++failedWrites;
            }
            failedWrites += mac.processes().writeShortcutsScript() ? 0 : 1;
        }
    };
    // Once the file exists, every read must find one whole version of it.
    const auto reader = [&] {
        start.arrive_and_wait();
        bool seen = false;
        while (writing) {
            const bool found = QFile::exists(info);
            brokenReads += (seen || found) && !whole(info, versions) ? 1 : 0;
            seen = seen || found;
        }
    };
    std::thread first(writer, scenarioNamed("Safari"));
    std::thread second(writer, scenarioNamed("Safari Technology"));
    std::thread watcher(reader);
    first.join();
    second.join();
    writing = false;
    watcher.join();

    EXPECT_EQ(failedWrites, 0);
    EXPECT_EQ(brokenReads, 0);
    QFile tool(script);
    ASSERT_TRUE(tool.open(QIODevice::ReadOnly));
    const QByteArray text = tool.readAll();
    EXPECT_TRUE(text.startsWith("#!/bin/sh\n") && text.endsWith("esac\n")) << text.toStdString();
    struct stat mode {};
    ASSERT_EQ(::stat(script.toLocal8Bit().constData(), &mode), 0);
    EXPECT_EQ(mode.st_mode & 0777, 0700u);
    QDirIterator files(root.path(), QDir::Files | QDir::Hidden | QDir::System,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        EXPECT_TRUE(path == info || path == script || path.endsWith(QStringLiteral("defaults.ini")))
            << "left behind: " << path.toStdString();
    }
}

} // namespace
} // namespace corvane
