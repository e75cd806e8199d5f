// The certificate a relay makes for itself at first start and keeps.
#include "relay/RelayCertificate.h"

#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslCertificateExtension>
#include <QSslKey>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>

namespace corvane {
namespace {

TEST(RelayCertificateTest, MadeOnceForTheGivenHostsAndKeptPrivate) {
    QTemporaryDir dir;
    const RelayCertificate first = RelayCertificate::ensure(
        dir.path(), {QStringLiteral("relay.example.org"), QStringLiteral("192.0.2.7")});
    const QSslCertificate leaf = first.tls().localCertificate();
    const auto names = leaf.subjectAlternativeNames();
    EXPECT_TRUE(names.values(QSsl::DnsEntry).contains(QStringLiteral("relay.example.org")));
    EXPECT_TRUE(names.values(QSsl::DnsEntry).contains(QStringLiteral("localhost")));
    EXPECT_TRUE(names.values(QSsl::IpAddressEntry).contains(QStringLiteral("127.0.0.1")));
    EXPECT_TRUE(names.values(QSsl::IpAddressEntry).contains(QStringLiteral("192.0.2.7")));
    EXPECT_FALSE(first.tls().privateKey().isNull());
    // A server certificate, never an authority: trusted system-wide it vouches for nothing else.
    std::map<QString, QVariant> extensions;
    for (const QSslCertificateExtension& extension : leaf.extensions()) {
        extensions[extension.name()] = extension.value();
    }
    EXPECT_EQ(extensions[QStringLiteral("basicConstraints")].toMap().value(QStringLiteral("ca")),
              QVariant(false));
    EXPECT_EQ(extensions[QStringLiteral("keyUsage")].toStringList(),
              QStringList{QStringLiteral("Digital Signature")});
    EXPECT_EQ(extensions[QStringLiteral("extendedKeyUsage")].toStringList(),
              QStringList{QStringLiteral("TLS Web Server Authentication")});
    EXPECT_EQ(first.fingerprint().size(), 32 * 3 - 1);

    const QString key = dir.filePath(QStringLiteral("relay-key.pem"));
    EXPECT_EQ(QFileInfo(key).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther |
                                              QFileDevice::WriteGroup | QFileDevice::WriteOther),
              QFileDevice::Permissions());
    EXPECT_FALSE(QFileInfo::exists(key + QStringLiteral(".new")));

    // A later start reads the same pair instead of making another.
    const RelayCertificate again = RelayCertificate::ensure(dir.path(), {});
    EXPECT_EQ(again.fingerprint(), first.fingerprint());
    EXPECT_EQ(again.certificateFile(), dir.filePath(QStringLiteral("relay-cert.pem")));

    EXPECT_THROW(RelayCertificate::load(dir.filePath(QStringLiteral("missing.pem")), key),
                 RelayCertificateError);
    EXPECT_THROW(RelayCertificate::load(key, key), RelayCertificateError);
}

} // namespace
} // namespace corvane
