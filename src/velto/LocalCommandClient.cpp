#include "velto/LocalCommandClient.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <charconv>

namespace corvane {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

} // namespace

std::string LocalCommandClient::request(quint16 port, std::string_view token,
                                        std::string_view body) {
    std::string out = "POST /v1/commands HTTP/1.1\r\nHost: 127.0.0.1:";
    out += std::to_string(port);
    out += "\r\nContent-Type: application/json\r\nContent-Length: ";
    out += std::to_string(body.size());
    out += "\r\nAuthorization: Bearer ";
    out += token;
    out += "\r\n\r\n";
    out += body;
    return out;
}

LocalCommandClient::Reply LocalCommandClient::parseAnswer(std::string_view bytes) {
    Reply reply;
    const std::size_t headEnd = bytes.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) {
        reply.error = bytes.empty() ? "the agent closed the connection without an answer"
                                    : "the answer ended before its head was complete";
        return reply;
    }
    const std::string_view head = bytes.substr(0, headEnd);
    const std::string_view body = bytes.substr(headEnd + 4);

    std::size_t lineEnd = head.find("\r\n");
    const std::string_view statusLine = head.substr(0, lineEnd);
    constexpr std::string_view prefix = "HTTP/1.1 ";
    int status = 0;
    if (statusLine.substr(0, prefix.size()) != prefix || statusLine.size() < prefix.size() + 3) {
        reply.error = "the answer is not HTTP/1.1";
        return reply;
    }
    const char* digits = statusLine.data() + prefix.size();
    const auto [end, error] = std::from_chars(digits, digits + 3, status);
    if (error != std::errc() || end != digits + 3 || status < 100 ||
        (statusLine.size() > prefix.size() + 3 && statusLine[prefix.size() + 3] != ' ')) {
        reply.error = "the answer has no valid status";
        return reply;
    }

    // The agent always declares the body's length; an answer cut short must not pass as whole.
    std::optional<std::size_t> declared;
    while (lineEnd != std::string_view::npos) {
        const std::size_t next = head.find("\r\n", lineEnd + 2);
        const std::string_view line =
            head.substr(lineEnd + 2, next == std::string_view::npos ? std::string_view::npos
                                                                    : next - lineEnd - 2);
        lineEnd = next;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos ||
            !equalsIgnoringCase(line.substr(0, colon), "content-length")) {
            continue;
        }
        const std::string_view value = trimmed(line.substr(colon + 1));
        std::size_t length = 0;
        const auto [lengthEnd, lengthError] =
            std::from_chars(value.data(), value.data() + value.size(), length);
        if (value.empty() || lengthError != std::errc() ||
            lengthEnd != value.data() + value.size()) {
            reply.error = "the answer's Content-Length is not a number";
            return reply;
        }
        declared = length;
    }
    if (declared && body.size() != *declared) {
        reply.error = "the answer's body does not have its declared length";
        return reply;
    }
    reply.status = status;
    reply.body = std::string(body);
    return reply;
}

LocalCommandClient::Reply LocalCommandClient::post(quint16 port, std::string_view token,
                                                   std::string_view body,
                                                   std::chrono::milliseconds timeout) {
    QTcpSocket socket;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    bool timedOut = false;
    std::string received;
    QString socketError;

    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    QObject::connect(&socket, &QTcpSocket::connected, &loop, [&] {
        const std::string bytes = request(port, token, body);
        socket.write(bytes.data(), static_cast<qint64>(bytes.size()));
    });
    QObject::connect(&socket, &QTcpSocket::readyRead, &loop, [&] {
        const QByteArray chunk = socket.readAll();
        received.append(chunk.constData(), static_cast<std::size_t>(chunk.size()));
    });
    QObject::connect(&socket, &QTcpSocket::disconnected, &loop, [&] { loop.quit(); });
    QObject::connect(&socket, &QTcpSocket::errorOccurred, &loop,
                     [&](QAbstractSocket::SocketError error) {
                         // The agent closing after its answer is the normal end.
                         if (error != QAbstractSocket::RemoteHostClosedError) {
                             socketError = socket.errorString();
                         }
                         loop.quit();
                     });

    timer.start(timeout);
    socket.connectToHost(QHostAddress::LocalHost, port);
    loop.exec();
    timer.stop();

    const QByteArray rest = socket.readAll();
    received.append(rest.constData(), static_cast<std::size_t>(rest.size()));
    socket.abort();

    if (timedOut) {
        Reply reply;
        reply.error = "no answer from the agent within " + std::to_string(timeout.count() / 1000) +
                      " seconds";
        return reply;
    }
    if (received.empty() && !socketError.isEmpty()) {
        Reply reply;
        reply.error = "cannot reach the agent at 127.0.0.1:" + std::to_string(port) + " (" +
                      socketError.toStdString() + ")";
        return reply;
    }
    return parseAnswer(received);
}

} // namespace corvane
