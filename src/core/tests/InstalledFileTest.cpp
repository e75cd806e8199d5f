#include "core/InstalledFile.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>

using namespace corvane;

// The build tree's place wins over the installed one, and is named when neither exists.
TEST(InstalledFile, BesideTheProgramThenInstalledBesideItsPrefix) {
    QTemporaryDir root;
    const QDir dir(root.path());
    ASSERT_TRUE(dir.mkpath(QStringLiteral("bin")));
    const QString bin = dir.filePath(QStringLiteral("bin"));
    const QString beside = bin + QStringLiteral("/resources/v1.schema.json");
    const QString installed = dir.filePath(QStringLiteral("share/velto-test/v1.schema.json"));
    const auto find = [&] {
        return InstalledFile::find(bin, QStringLiteral("resources/v1.schema.json"),
                                   QStringLiteral("velto-test"), QStringLiteral("v1.schema.json"));
    };

    EXPECT_EQ(find(), beside);

    ASSERT_TRUE(dir.mkpath(QStringLiteral("share/velto-test")));
    { std::ofstream(installed.toStdString()) << "{}"; }
    EXPECT_EQ(find(), installed);

    ASSERT_TRUE(dir.mkpath(QStringLiteral("bin/resources")));
    { std::ofstream(beside.toStdString()) << "{}"; }
    EXPECT_EQ(find(), beside);
}
