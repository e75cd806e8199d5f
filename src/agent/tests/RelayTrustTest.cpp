// Which relay certificates are accepted beyond the system's authorities, and how the pins are
// kept: only the pinned certificate, only at its address, only when nobody vouching for it is the
// whole complaint; the file is written whole or not at all, and a damaged one trusts nothing.
#include "agent/RelayTrust.h"
#include "core/FileError.h"
#include "support/TestRelay.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace corvane {
namespace {

using Which = test::TestRelay::Certificate;

QSslCertificate certificate(Which which) {
    return test::TestRelay::certificate(which);
}

const QUrl relay(QStringLiteral("https://127.0.0.1:8443"));

TEST(RelayTrustTest, AcceptsOnlyThePinnedCertificateAtItsAddressForWantOfAnAuthority) {
    QTemporaryDir home;
    RelayTrust trust(
        std::filesystem::path(home.filePath(QStringLiteral("pins.json")).toStdString()), {});
    const QSslCertificate pinned = certificate(Which::SelfSigned);
    trust.trust(RelayTrust::originOf(relay), pinned);

    struct Row {
        const char* what;
        QUrl url;
        QList<QSslError> errors;
        bool accepted;
    };
    const QSslCertificate other = certificate(Which::OtherSelfSigned);
    const Row rows[] = {
        {"self-signed, pinned", relay, {QSslError(QSslError::SelfSignedCertificate, pinned)}, true},
        {"the same origin spelt as the session's",
         QUrl(QStringLiteral("wss://127.0.0.1:8443/v1/ws/device")),
         {QSslError(QSslError::SelfSignedCertificate, pinned)},
         true},
        {"unknown authority, pinned",
         relay,
         {QSslError(QSslError::UnableToGetLocalIssuerCertificate, pinned),
          QSslError(QSslError::UnableToVerifyFirstCertificate, pinned)},
         true},
        {"another certificate", relay, {QSslError(QSslError::SelfSignedCertificate, other)}, false},
        {"another port",
         QUrl(QStringLiteral("https://127.0.0.1:9443")),
         {QSslError(QSslError::SelfSignedCertificate, pinned)},
         false},
        {"expired as well",
         relay,
         {QSslError(QSslError::SelfSignedCertificate, pinned),
          QSslError(QSslError::CertificateExpired, pinned)},
         false},
        {"for another name", relay, {QSslError(QSslError::HostNameMismatch, pinned)}, false},
        {"no complaint named", relay, {}, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(trust.accepts(row.url, row.errors), row.accepted) << row.what;
    }
}

TEST(RelayTrustTest, RefusalsSayWhatFailedAndWhetherTrustingIsOffered) {
    RelayTrust trust(std::nullopt, {});
    const QSslCertificate first = certificate(Which::SelfSigned);
    const QString print = RelayTrust::fingerprint(first);
    // The relay prints it in the same form: 32 upper-case pairs.
    EXPECT_EQ(print.size(), 32 * 3 - 1);
    EXPECT_EQ(print, print.toUpper());

    QString text = trust.refused(relay, {QSslError(QSslError::SelfSignedCertificate, first)});
    ASSERT_TRUE(trust.lastRefusal());
    EXPECT_TRUE(trust.lastRefusal()->trustable);
    EXPECT_FALSE(trust.lastRefusal()->changed);
    EXPECT_TRUE(text.contains(QStringLiteral("self-signed")));
    EXPECT_TRUE(text.contains(print));

    trust.trust(RelayTrust::originOf(relay), first);
    EXPECT_FALSE(trust.lastRefusal());
    text = trust.refused(
        relay, {QSslError(QSslError::SelfSignedCertificate, certificate(Which::OtherSelfSigned))});
    EXPECT_TRUE(trust.lastRefusal()->changed);
    EXPECT_TRUE(text.contains(QStringLiteral("not the one you trusted")));

    trust.refused(relay, {QSslError(QSslError::CertificateExpired, first)});
    EXPECT_FALSE(trust.lastRefusal()->trustable);
    EXPECT_FALSE(trust.lastRefusal()->changed);

    // The headless agent, with no pins, is told how it can trust a relay of its own.
    const std::string alone =
        RelayTrust::report(nullptr, relay, {QSslError(QSslError::SelfSignedCertificate, first)});
    EXPECT_NE(alone.find("--relay-ca"), std::string::npos) << alone;
    EXPECT_EQ(RelayTrust::report(nullptr, relay, {QSslError(QSslError::CertificateExpired, first)})
                  .find("--relay-ca"),
              std::string::npos);
}

TEST(RelayTrustTest, PinsAreKeptWholeAndADamagedFileTrustsNothing) {
    QTemporaryDir home;
    const std::filesystem::path file = home.filePath(QStringLiteral("pins.json")).toStdString();
    const QString origin = RelayTrust::originOf(relay);
    const QString print = RelayTrust::fingerprint(certificate(Which::SelfSigned));
    {
        RelayTrust trust(file, {});
        EXPECT_EQ(trust.pinned(origin), std::nullopt);
        trust.trust(origin, certificate(Which::SelfSigned));
    }
    EXPECT_EQ(RelayTrust(file, {}).pinned(origin), std::optional(print));
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    for (const char* damaged : {"{\"https://127.0.0.1:8443\": \"AB:CD\"}", "[1]", "{",
                                "{\"https://127.0.0.1:8443\": 7}"}) {
        std::ofstream(file, std::ios::trunc) << damaged;
        RelayTrust trust(file, {});
        EXPECT_EQ(trust.pinned(origin), std::nullopt) << damaged;
        EXPECT_FALSE(trust.loadProblem().isEmpty()) << damaged;
    }

    // A pin that cannot be written does not count.
    const std::filesystem::path nowhere = file / "below-a-file.json";
    RelayTrust trust(nowhere, {});
    EXPECT_THROW(trust.trust(origin, certificate(Which::SelfSigned)), FileError);
    EXPECT_EQ(trust.pinned(origin), std::nullopt);
}

} // namespace
} // namespace corvane
