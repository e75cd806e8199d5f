// velto-relay and the data folder it is given: a new one is made private, an existing one is
// never changed, and one that others may write in is refused before anything is read or written.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include <sys/stat.h>

namespace corvane::test {
namespace {

mode_t modeOf(const QString& path) {
    struct stat info {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    return info.st_mode & 07777;
}

TEST(RelayDataFolderTest, OnlyAFolderOthersCannotWriteInIsUsed) {
    QTemporaryDir home;
    struct Row {
        const char* name;
        std::optional<mode_t> existing; // absent: the folder does not exist yet
        bool starts;
        mode_t after;
    };
    const std::vector<Row> rows{
        {"new", std::nullopt, true, 0700},
        {"existing, the owner's alone", 0750, true, 0750},
        {"shared, sticky", 01777, false, 01777},
        {"group-writable", 0770, false, 0770},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString folder = home.filePath(QString::fromLatin1(row.name));
        if (row.existing) {
            ASSERT_TRUE(QDir().mkdir(folder));
            ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), *row.existing), 0);
        }
        QProcess relay;
        relay.setProcessChannelMode(QProcess::MergedChannels);
        relay.start(
            QStringLiteral(VELTO_RELAY_PROGRAM),
            {QStringLiteral("--data"), folder, QStringLiteral("--port"), QStringLiteral("0")});
        ASSERT_TRUE(relay.waitForStarted(10000));
        QByteArray out;
        while (!out.contains("listening on") && relay.waitForReadyRead(20000)) {
            out += relay.readAll();
        }
        out += relay.readAll();
        EXPECT_EQ(out.contains("listening on"), row.starts) << out.toStdString();
        if (row.starts) {
            relay.kill();
        } else {
            EXPECT_TRUE(out.contains("others can write")) << out.toStdString();
        }
        relay.waitForFinished(10000);
        EXPECT_EQ(modeOf(folder), row.after);
        EXPECT_EQ(QFileInfo::exists(folder + QStringLiteral("/relay.sqlite")), row.starts);
    }
}

} // namespace
} // namespace corvane::test
