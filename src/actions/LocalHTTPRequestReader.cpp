#include "actions/LocalHTTPRequestReader.h"

#include <QByteArrayView>
#include <QCryptographicHash>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringView>

#include <limits>
#include <optional>

namespace corvane {

namespace {

using Outcome = LocalHTTPRequestReader::Outcome;

constexpr std::string_view headTerminator = "\r\n\r\n";
constexpr std::string_view requestLine = "POST /v1/commands HTTP/1.1";
constexpr QStringView bearerPrefix = u"Bearer ";

Outcome readMore(std::size_t needBytes) {
    Outcome outcome;
    outcome.action = Outcome::Action::ReadMore;
    outcome.needBytes = needBytes;
    return outcome;
}

Outcome closeSilently() {
    Outcome outcome;
    outcome.action = Outcome::Action::Close;
    return outcome;
}

Outcome respond(int status, std::string code) {
    Outcome outcome;
    outcome.action = Outcome::Action::Respond;
    outcome.status = status;
    outcome.code = std::move(code);
    return outcome;
}

Outcome invalidRequest() {
    return respond(400, "invalid_request");
}

// The first line feed at or after `from` that either lacks its carriage return or completes the
// head terminator; line feeds before `from` are taken to have been neither.
struct HeadScan {
    std::size_t bareLineFeed = std::string_view::npos;
    std::size_t headEnd = std::string_view::npos; // where the terminator begins
};

HeadScan scanHead(std::string_view bytes, std::size_t from) {
    HeadScan scan;
    for (std::size_t at = bytes.find('\n', from); at != std::string_view::npos;
         at = bytes.find('\n', at + 1)) {
        if (at == 0 || bytes[at - 1] != '\r') {
            scan.bareLineFeed = at;
            break;
        }
        if (at >= 3 && bytes.substr(at - 3, 4) == headTerminator) {
            scan.headEnd = at - 3;
            break;
        }
    }
    return scan;
}

// The answer for a head with a bare line feed, from the bytes before it, keeping the order of the
// checks a complete head gets. The prefix ends before a line feed, so it cannot end inside a
// UTF-8 sequence.
Outcome refuseBareLineFeed(std::string_view prefix) {
    if (!QByteArrayView(prefix.data(), static_cast<qsizetype>(prefix.size())).isValidUtf8())
        return invalidRequest();
    // A line feed before the bare one ended the first line, with its carriage return.
    const std::size_t firstLineFeed = prefix.find('\n');
    const std::string_view line =
        firstLineFeed == std::string_view::npos ? prefix : prefix.substr(0, firstLineFeed - 1);
    if (line != requestLine)
        return respond(404, "route_not_found");
    return invalidRequest();
}

// Spaces and tabs, not line breaks: a stray CR or LF inside a header line must not vanish and
// make a damaged value look valid.
bool isTrimmable(QChar c) {
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

QStringView trimmed(QStringView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isTrimmable(text[begin]))
        ++begin;
    while (end > begin && isTrimmable(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

// An optional "+" or "-", then ASCII digits only, within 64 bits.
std::optional<long long> parseLength(QStringView text) {
    bool negative = false;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
        negative = text.front() == u'-';
        text = text.sliced(1);
    }
    if (text.isEmpty())
        return std::nullopt;
    unsigned long long magnitude = 0;
    const unsigned long long limit =
        negative ? static_cast<unsigned long long>(std::numeric_limits<long long>::max()) + 1
                 : static_cast<unsigned long long>(std::numeric_limits<long long>::max());
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        const unsigned digit = c.unicode() - u'0';
        if (magnitude > (limit - digit) / 10)
            return std::nullopt;
        magnitude = magnitude * 10 + digit;
    }
    if (negative)
        return magnitude == limit ? std::numeric_limits<long long>::min()
                                  : -static_cast<long long>(magnitude);
    return static_cast<long long>(magnitude);
}

// Touches every byte whatever the contents, so the time taken does not reveal how long a prefix of
// the presented token's hash matched.
bool constantTimeEqual(const QByteArray& presented, const LocalHTTPRequestReader::TokenHash& kept) {
    if (static_cast<std::size_t>(presented.size()) != kept.size())
        return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < kept.size(); ++i)
        difference |= static_cast<unsigned char>(presented[static_cast<qsizetype>(i)]) ^ kept[i];
    return difference == 0;
}

} // namespace

bool LocalHTTPRequestReader::headSettled(std::string_view bytes, std::size_t from) {
    const HeadScan scan = scanHead(bytes, from);
    return scan.bareLineFeed != std::string_view::npos || scan.headEnd != std::string_view::npos;
}

LocalHTTPRequestReader::TokenHash LocalHTTPRequestReader::hashToken(std::string_view token) {
    const QByteArray digest =
        QCryptographicHash::hash(QByteArrayView(token.data(), static_cast<qsizetype>(token.size())),
                                 QCryptographicHash::Sha256);
    TokenHash hash{};
    for (std::size_t i = 0; i < hash.size(); ++i)
        hash[i] = static_cast<unsigned char>(digest[static_cast<qsizetype>(i)]);
    return hash;
}

LocalHTTPRequestReader::LocalHTTPRequestReader(quint16 port, const TokenHash& tokenHash)
    : expectedHost_(QStringLiteral("127.0.0.1:") + QString::number(port))
    , tokenHash_(tokenHash) {}

LocalHTTPRequestReader::Outcome LocalHTTPRequestReader::read(std::string_view bytes,
                                                             bool peerFinished) const {
    if (bytes.size() > maxRequestBytes)
        return respond(413, "request_too_large");

    const HeadScan scan = scanHead(bytes, 0);
    if (scan.bareLineFeed != std::string_view::npos)
        return refuseBareLineFeed(bytes.substr(0, scan.bareLineFeed));
    const std::size_t headEnd = scan.headEnd;
    if (headEnd == std::string_view::npos)
        return peerFinished ? closeSilently() : readMore(bytes.size() + 1);

    const QByteArrayView headBytes(bytes.data(), static_cast<qsizetype>(headEnd));
    if (!headBytes.isValidUtf8())
        return invalidRequest();
    const QString head = QString::fromUtf8(headBytes);
    const QList<QStringView> lines = QStringView(head).split(u"\r\n");
    // The head holds at least the terminator's first CR LF.
    if (bytes.substr(0, bytes.find("\r\n")) != requestLine)
        return respond(404, "route_not_found");

    QHash<QString, QStringView> headers;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QStringView line = lines[i];
        const qsizetype colon = line.indexOf(u':');
        // Both pieces around the first colon must be non-empty.
        if (colon <= 0 || colon == line.size() - 1)
            return invalidRequest();
        const QString name = line.first(colon).toString().toLower();
        if (headers.contains(name))
            return invalidRequest();
        headers.insert(name, trimmed(line.sliced(colon + 1)));
    }

    if (headers.contains(QStringLiteral("origin")))
        return invalidRequest();
    if (headers.contains(QStringLiteral("transfer-encoding")))
        return invalidRequest();

    const auto host = headers.constFind(QStringLiteral("host"));
    if (host == headers.constEnd() || *host != expectedHost_)
        return invalidRequest();

    const auto contentType = headers.constFind(QStringLiteral("content-type"));
    if (contentType == headers.constEnd() ||
        contentType->toString().toLower() != QLatin1String("application/json"))
        return invalidRequest();

    const auto contentLength = headers.constFind(QStringLiteral("content-length"));
    if (contentLength == headers.constEnd())
        return invalidRequest();
    const std::optional<long long> declared = parseLength(*contentLength);
    if (!declared || *declared > maxBodyBytes)
        return invalidRequest();

    const auto authorization = headers.constFind(QStringLiteral("authorization"));
    if (authorization == headers.constEnd() || !authorization->startsWith(bearerPrefix))
        return respond(401, "unauthorized");
    const QByteArray presented = QCryptographicHash::hash(
        authorization->sliced(bearerPrefix.size()).toUtf8(), QCryptographicHash::Sha256);
    if (!constantTimeEqual(presented, tokenHash_))
        return respond(401, "unauthorized");

    const std::string_view body = bytes.substr(headEnd + headTerminator.size());
    const auto bodySize = static_cast<long long>(body.size());
    if (bodySize < *declared) {
        if (peerFinished)
            return invalidRequest();
        return readMore(headEnd + headTerminator.size() + static_cast<std::size_t>(*declared));
    }
    if (bodySize > *declared)
        return invalidRequest();

    Outcome accepted;
    accepted.action = Outcome::Action::Accept;
    try {
        accepted.body = JSON::parse(body);
    } catch (const JSONReadError&) {
        return invalidRequest();
    }
    return accepted;
}

} // namespace corvane
