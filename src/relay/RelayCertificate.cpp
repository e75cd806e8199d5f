#include "relay/RelayCertificate.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QSslKey>

namespace corvane {

namespace {

QByteArray contents(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw RelayCertificateError("cannot read " + path.toStdString() + ": " +
                                    file.errorString().toStdString());
    }
    return file.readAll();
}

QString subjectNames(const QStringList& hosts) {
    QStringList names{QStringLiteral("IP:127.0.0.1"), QStringLiteral("IP:::1"),
                      QStringLiteral("DNS:localhost")};
    for (const QString& host : hosts) {
        const QString entry =
            (QHostAddress(host).isNull() ? QStringLiteral("DNS:") : QStringLiteral("IP:")) + host;
        if (!names.contains(entry)) {
            names.append(entry);
        }
    }
    return QStringLiteral("subjectAltName=") + names.join(QLatin1Char(','));
}

} // namespace

RelayCertificate RelayCertificate::load(const QString& certificateFile, const QString& keyFile) {
    const QList<QSslCertificate> chain = QSslCertificate::fromData(contents(certificateFile));
    if (chain.isEmpty()) {
        throw RelayCertificateError("no PEM certificate in " + certificateFile.toStdString());
    }
    const QByteArray keyBytes = contents(keyFile);
    QSslKey key(keyBytes, QSsl::Ec, QSsl::Pem);
    if (key.isNull()) {
        key = QSslKey(keyBytes, QSsl::Rsa, QSsl::Pem);
    }
    if (key.isNull()) {
        throw RelayCertificateError("no PEM EC or RSA key in " + keyFile.toStdString());
    }
    RelayCertificate out;
    out.tls_ = QSslConfiguration::defaultConfiguration();
    out.tls_.setLocalCertificateChain(chain);
    out.tls_.setPrivateKey(key);
    out.tls_.setPeerVerifyMode(QSslSocket::VerifyNone);
    out.tls_.setProtocol(QSsl::TlsV1_2OrLater);
    out.certificateFile_ = QFileInfo(certificateFile).absoluteFilePath();
    return out;
}

RelayCertificate RelayCertificate::ensure(const QString& directory, const QStringList& hosts) {
    const QDir dir(directory);
    const QString certificate = dir.filePath(QStringLiteral("relay-cert.pem"));
    const QString key = dir.filePath(QStringLiteral("relay-key.pem"));
    if (!QFileInfo::exists(certificate) || !QFileInfo::exists(key)) {
        // Written under temporary names and renamed: a failed run leaves no half pair behind.
        const QString newCertificate = certificate + QStringLiteral(".new");
        const QString newKey = key + QStringLiteral(".new");
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(
            QStringLiteral("openssl"),
            {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
             QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
             QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
             QStringLiteral("-days"), QStringLiteral("825"), QStringLiteral("-subj"),
             QStringLiteral("/CN=Velto relay"), QStringLiteral("-addext"), subjectNames(hosts),
             // A server certificate only: trusted system-wide, a certificate authority
             // would let this relay's key vouch for any site.
             QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:FALSE"),
             QStringLiteral("-addext"), QStringLiteral("keyUsage=critical,digitalSignature"),
             QStringLiteral("-addext"), QStringLiteral("extendedKeyUsage=serverAuth"),
             QStringLiteral("-keyout"), newKey, QStringLiteral("-out"), newCertificate});
        if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit ||
            openssl.exitCode() != 0) {
            QFile::remove(newKey);
            QFile::remove(newCertificate);
            throw RelayCertificateError("openssl could not make a certificate: " +
                                        openssl.readAll().trimmed().toStdString() +
                                        openssl.errorString().toStdString());
        }
        QFile::setPermissions(newKey, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        if (!QFile::rename(newKey, key) || !QFile::rename(newCertificate, certificate)) {
            throw RelayCertificateError("cannot keep the new certificate in " +
                                        directory.toStdString());
        }
    }
    return load(certificate, key);
}

QString RelayCertificate::fingerprint() const {
    const QByteArray digest = tls_.localCertificate().digest(QCryptographicHash::Sha256);
    QStringList pairs;
    for (const char byte : digest) {
        pairs.append(QStringLiteral("%1")
                         .arg(static_cast<unsigned char>(byte), 2, 16, QLatin1Char('0'))
                         .toUpper());
    }
    return pairs.join(QLatin1Char(':'));
}

} // namespace corvane
