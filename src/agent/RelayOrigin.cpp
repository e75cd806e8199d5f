#include "agent/RelayOrigin.h"

#include "core/ContractError.h"

namespace corvane {

namespace {

QString trimmedSlashes(QString text) {
    while (text.startsWith(QLatin1Char('/'))) {
        text.remove(0, 1);
    }
    while (text.endsWith(QLatin1Char('/'))) {
        text.chop(1);
    }
    return text;
}

std::optional<QUrl> bareOrigin(const std::string& text) {
    const QString written = QString::fromStdString(text);
    // QUrl lower-cases the scheme it parses, so the written form is checked first.
    if (!written.startsWith(QLatin1String("https:"))) {
        return std::nullopt;
    }
    const QUrl url(written, QUrl::StrictMode);
    const QString path = url.path(QUrl::FullyEncoded);
    // An "@" with nothing before it is still a user-info part, however empty.
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty() ||
        url.authority(QUrl::FullyEncoded).contains(QLatin1Char('@')) || url.hasQuery() ||
        url.hasFragment() || (!path.isEmpty() && path != QLatin1String("/"))) {
        return std::nullopt;
    }
    return url;
}

} // namespace

QUrl RelayOrigin::origin(const std::string& relay) {
    std::optional<QUrl> url = bareOrigin(relay);
    if (!url) {
        throw ContractError("https_relay_required");
    }
    return *url;
}

QUrl RelayOrigin::dashboard(const std::string& relay, const std::string& builtRelay,
                            const std::string& builtDashboard) {
    const QUrl relayOrigin = origin(relay);
    const QString mine = trimmedSlashes(relayOrigin.toString(QUrl::FullyEncoded));
    const QString built = trimmedSlashes(QString::fromStdString(builtRelay));
    if (!built.isEmpty() && mine == built) {
        if (std::optional<QUrl> own = bareOrigin(builtDashboard)) {
            return *own;
        }
    }
    return relayOrigin;
}

std::optional<QUrl> RelayOrigin::pairingLink(const QUrl& dashboard, const std::string& code) {
    if (code.empty()) {
        return std::nullopt;
    }
    QUrl link = dashboard;
    link.setFragment(QStringLiteral("pair=") + QString::fromStdString(code));
    return link;
}

QUrl RelayOrigin::endpoint(const QUrl& origin, const QString& path) {
    QUrl url = origin;
    url.setPath(QLatin1Char('/') + trimmedSlashes(path));
    return url;
}

QUrl RelayOrigin::webSocket(const QUrl& origin) {
    QUrl url = endpoint(origin, QStringLiteral("v1/ws/device"));
    url.setScheme(QStringLiteral("wss"));
    return url;
}

} // namespace corvane
