#include "agent/RelayTrust.h"

#include "core/JSON.h"
#include "core/PrivateFile.h"

#include <QCryptographicHash>
#include <QSslSocket>
#include <QStringList>

#include <algorithm>

namespace corvane {

namespace {

// The errors that only say nobody vouches for the certificate. An expired certificate, one for
// another name or a revoked one is wrong in itself, and trusting it is never offered.
bool unvouched(QSslError::SslError error) {
    switch (error) {
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::CertificateUntrusted:
        return true;
    default:
        return false;
    }
}

// The relay's own certificate: the one the errors name, else the first that any error names.
QSslCertificate leafOf(const QList<QSslError>& errors) {
    for (const QSslError& error : errors) {
        if (!error.certificate().isNull()) {
            return error.certificate();
        }
    }
    return QSslCertificate();
}

bool allUnvouched(const QList<QSslError>& errors) {
    return !errors.isEmpty() && std::all_of(errors.begin(), errors.end(), [](const QSslError& e) {
        return unvouched(e.error());
    });
}

// A fingerprint as read back from the file: 32 upper-case hexadecimal pairs joined by ':'.
bool wellFormed(const std::string& text) {
    if (text.size() != 32 * 3 - 1) {
        return false;
    }
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        const bool separator = at % 3 == 2;
        if (separator ? c != ':' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

} // namespace

RelayTrust::RelayTrust(std::optional<std::filesystem::path> file,
                       QList<QSslCertificate> authorities)
    : file_(std::move(file))
    , authorities_(std::move(authorities)) {
    if (!file_) {
        return;
    }
    try {
        const std::optional<std::string> text = PrivateFile::read(*file_);
        if (!text) {
            return;
        }
        const JSON stored = JSON::parse(*text);
        if (!stored.isObject()) {
            throw std::runtime_error("not a JSON object");
        }
        for (const auto& [origin, value] : *stored.object()) {
            const std::string* print = value.string();
            if (print == nullptr || !wellFormed(*print)) {
                throw std::runtime_error("the entry for " + origin + " is not a fingerprint");
            }
            pins_[QString::fromStdString(origin)] = QString::fromStdString(*print);
        }
    } catch (const std::exception& error) {
        // Unreadable pins trust nothing: every relay that needs one is asked about again.
        pins_.clear();
        loadProblem_ = QString::fromStdString(file_->string()) + QStringLiteral(": ") +
                       QString::fromUtf8(error.what());
    }
}

QString RelayTrust::fingerprint(const QSslCertificate& certificate) {
    const QByteArray digest = certificate.digest(QCryptographicHash::Sha256);
    QStringList pairs;
    for (const char byte : digest) {
        pairs.append(QStringLiteral("%1")
                         .arg(static_cast<unsigned char>(byte), 2, 16, QLatin1Char('0'))
                         .toUpper());
    }
    return pairs.join(QLatin1Char(':'));
}

QString RelayTrust::originOf(const QUrl& url) {
    return QStringLiteral("https://") + url.host().toLower() + u':' +
           QString::number(url.port(443));
}

QSslConfiguration RelayTrust::configuration() const {
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (!authorities_.isEmpty()) {
        tls.addCaCertificates(authorities_);
    }
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    return tls;
}

bool RelayTrust::accepts(const QUrl& url, const QList<QSslError>& errors) const {
    if (!allUnvouched(errors)) {
        return false;
    }
    const std::optional<QString> pin = pinned(originOf(url));
    return pin && *pin == fingerprint(leafOf(errors));
}

QString RelayTrust::refused(const QUrl& url, const QList<QSslError>& errors) {
    Refusal refusal;
    refusal.origin = originOf(url);
    refusal.certificate = leafOf(errors);
    refusal.trustable = allUnvouched(errors) && !refusal.certificate.isNull();
    const std::optional<QString> pin = pinned(refusal.origin);
    refusal.changed = refusal.trustable && pin && *pin != fingerprint(refusal.certificate);
    const bool selfSigned = std::any_of(errors.begin(), errors.end(), [](const QSslError& e) {
        return e.error() == QSslError::SelfSignedCertificate;
    });
    if (refusal.changed) {
        refusal.reason =
            QStringLiteral("The relay’s certificate is not the one you trusted before.");
    } else if (refusal.trustable) {
        refusal.reason = selfSigned ? QStringLiteral("The relay’s certificate is self-signed: no "
                                                     "certificate authority vouches for it.")
                                    : QStringLiteral("The relay’s certificate comes from an "
                                                     "authority this computer does not know.");
    } else {
        QStringList reasons;
        for (const QSslError& error : errors) {
            reasons.append(error.errorString());
        }
        reasons.removeDuplicates();
        refusal.reason = QStringLiteral("The relay’s certificate was refused: ") +
                         (reasons.isEmpty() ? QStringLiteral("the secure connection failed")
                                            : reasons.join(QStringLiteral("; "))) +
                         u'.';
    }
    QString text = refusal.reason;
    if (!refusal.certificate.isNull()) {
        text += QStringLiteral(" SHA-256 ") + fingerprint(refusal.certificate) + u'.';
    }
    refusal_ = std::move(refusal);
    Q_EMIT refusedCertificate();
    return text;
}

std::string RelayTrust::report(RelayTrust* trust, const QUrl& url, const QList<QSslError>& errors) {
    if (trust != nullptr) {
        return trust->refused(url, errors).toStdString();
    }
    RelayTrust alone(std::nullopt, {});
    std::string text = alone.refused(url, errors).toStdString();
    if (alone.lastRefusal() && alone.lastRefusal()->trustable) {
        text += " To trust it, start the agent with --relay-ca and a PEM file holding it.";
    }
    return text;
}

std::optional<QString> RelayTrust::pinned(const QString& origin) const {
    const auto found = pins_.find(origin);
    if (found == pins_.end()) {
        return std::nullopt;
    }
    return found->second;
}

void RelayTrust::trust(const QString& origin, const QSslCertificate& certificate) {
    std::map<QString, QString> updated = pins_;
    updated[origin] = fingerprint(certificate);
    if (file_) {
        JSON::Object stored;
        for (const auto& [key, print] : updated) {
            stored.emplace(key.toStdString(), JSON(print.toStdString()));
        }
        PrivateFile::write(JSON(std::move(stored)).data() + '\n', *file_);
    }
    pins_ = std::move(updated);
    loadProblem_.clear();
    if (refusal_ && refusal_->origin == origin) {
        refusal_.reset();
    }
}

} // namespace corvane
