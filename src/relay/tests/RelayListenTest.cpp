// What velto-relay prints as its address for each kind of --listen: a person (or an agent) must be
// able to open the printed origin and trust the certificate it made.
#include "HttpsClient.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <vector>

namespace corvane::test {
namespace {

TEST(RelayListenTest, ThePrintedOriginAnswers) {
    struct Row {
        const char* listen;
        const char* origin; // the printed origin up to its port
    };
    const std::vector<Row> rows{
        // Dual-stack: IPv4 callers reach it too, so the IPv4 loopback address is offered.
        {"::", "https://127.0.0.1:"},
        {"0.0.0.0", "https://127.0.0.1:"},
        {"::ffff:0.0.0.0", "https://127.0.0.1:"},
        {"::1", "https://[::1]:"},
        {"127.0.0.1", "https://127.0.0.1:"},
    };
    QTemporaryDir data;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.listen);
        QProcess relay;
        relay.start(QStringLiteral(VELTO_RELAY_PROGRAM),
                    {QStringLiteral("--data"), data.path(), QStringLiteral("--listen"),
                     QString::fromLatin1(row.listen), QStringLiteral("--port"),
                     QStringLiteral("0")});
        ASSERT_TRUE(relay.waitForStarted(10000));
        QByteArray out;
        while (!out.contains("SHA-256") && relay.waitForReadyRead(20000)) {
            out += relay.readAllStandardOutput();
        }
        const QString printed = QString::fromUtf8(out);
        const QString origin =
            QRegularExpression(QStringLiteral("listening on (\\S+)")).match(printed).captured(1);
        const QString certificate =
            QRegularExpression(QStringLiteral("certificate (/\\S+)")).match(printed).captured(1);
        EXPECT_TRUE(origin.startsWith(QLatin1String(row.origin))) << printed.toStdString();
        HttpsClient client(origin, QSslCertificate::fromPath(certificate));
        EXPECT_EQ(client.get(QStringLiteral("/")).status, 200) << printed.toStdString();
        relay.kill();
        relay.waitForFinished(10000);
    }
}

} // namespace
} // namespace corvane::test
