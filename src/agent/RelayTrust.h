#pragma once

#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>
#include <QUrl>

#include <filesystem>
#include <map>
#include <optional>

namespace corvane {

// Which relay certificates this computer accepts beyond the system's authorities: the authorities
// given at start (--relay-ca) and the certificates a person chose to trust for one relay address
// after comparing their SHA-256 fingerprints ("pins", kept in a private file). A pin covers one
// address and one certificate: another address, or another certificate at the same address, is
// refused and announced again, never accepted silently. Main thread only.
class RelayTrust final : public QObject {
    Q_OBJECT

public:
    // A handshake that failed on the relay's certificate.
    struct Refusal {
        // "https://HOST:PORT", the key the pin is kept under.
        QString origin;
        QSslCertificate certificate;
        // What failed, in a sentence.
        QString reason;
        // Nobody vouches for the certificate (self-signed, unknown authority) and nothing else is
        // wrong with it: a person may choose to trust it.
        bool trustable = false;
        // A different certificate is pinned for this address.
        bool changed = false;
    };

    // `file` holds the pins (absent: none are kept, as in the headless agent, which trusts
    // through --relay-ca only). A file that cannot be read counts as no pins; its reason is kept
    // in loadProblem() and the file is replaced only when a new pin is saved.
    RelayTrust(std::optional<std::filesystem::path> file, QList<QSslCertificate> authorities);

    // The certificate's SHA-256 digest as the relay prints it at start: upper-case hexadecimal
    // pairs joined by ':'.
    static QString fingerprint(const QSslCertificate& certificate);
    // The key of `url` (https or wss): "https://HOST:PORT", the port written out.
    static QString originOf(const QUrl& url);

    // The system's authorities plus the given ones; verification stays on.
    QSslConfiguration configuration() const;
    // True when the handshake with `url` may go on despite `errors`: every error is one of nobody
    // vouching for the certificate, and the certificate is the one pinned for this address.
    bool accepts(const QUrl& url, const QList<QSslError>& errors) const;
    // Remembers and announces a handshake with `url` that failed with `errors`. Returns the
    // refusal's sentence with the fingerprint, for the transport's error text.
    QString refused(const QUrl& url, const QList<QSslError>& errors);

    // Reports the refusal to `trust` when there is one, and returns the sentence for the
    // transport's error either way; without a trust object (the headless agent) it names
    // --relay-ca, its one way to trust a relay's own certificate.
    static std::string report(RelayTrust* trust, const QUrl& url, const QList<QSslError>& errors);

    // The fingerprint pinned for `origin`, if any.
    std::optional<QString> pinned(const QString& origin) const;
    // Pins `certificate` for `origin` (replacing an earlier pin) and writes the file before the
    // pin counts; throws FileError when it cannot be written, and nothing changes then.
    void trust(const QString& origin, const QSslCertificate& certificate);

    // The last refusal not yet answered by a pin.
    const std::optional<Refusal>& lastRefusal() const noexcept { return refusal_; }
    const QString& loadProblem() const noexcept { return loadProblem_; }

Q_SIGNALS:
    // A new refusal is in lastRefusal().
    void refusedCertificate();

private:
    std::optional<std::filesystem::path> file_;
    QList<QSslCertificate> authorities_;
    std::map<QString, QString> pins_;
    std::optional<Refusal> refusal_;
    QString loadProblem_;
};

} // namespace corvane
