#pragma once

#include <QSslConfiguration>
#include <QString>
#include <QStringList>

#include <stdexcept>

namespace corvane {

// The relay's certificate cannot be read or made. Its text says which file or step failed.
class RelayCertificateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The relay's TLS identity: a certificate and key it is given, or a self-signed one it makes once
// in its data folder (with the openssl tool; Qt reads certificates but cannot issue them) and
// keeps for later starts. Agents then trust that file with --relay-ca.
class RelayCertificate {
public:
    // Reads a PEM certificate (chain) and its private key (EC or RSA).
    static RelayCertificate load(const QString& certificateFile, const QString& keyFile);
    // Loads "relay-cert.pem" and "relay-key.pem" from `directory`, first making them when absent,
    // valid for 127.0.0.1, ::1, localhost and `hosts` (names or addresses).
    static RelayCertificate ensure(const QString& directory, const QStringList& hosts);

    const QSslConfiguration& tls() const noexcept { return tls_; }
    const QString& certificateFile() const noexcept { return certificateFile_; }
    // "AB:CD:..." of the leaf certificate.
    QString fingerprint() const;

private:
    QSslConfiguration tls_;
    QString certificateFile_;
};

} // namespace corvane
