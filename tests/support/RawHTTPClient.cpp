#include "support/RawHTTPClient.h"

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::test {

int RawHTTPClient::Reply::status() const {
    constexpr std::string_view prefix = "HTTP/1.1 ";
    if (bytes.compare(0, prefix.size(), prefix) != 0)
        return -1;
    const std::size_t end = bytes.find(' ', prefix.size());
    if (end == std::string::npos)
        return -1;
    try {
        return std::stoi(bytes.substr(prefix.size(), end - prefix.size()));
    } catch (const std::exception&) {
        return -1;
    }
}

std::string RawHTTPClient::Reply::body() const {
    const std::size_t end = bytes.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : bytes.substr(end + 4);
}

RawHTTPClient::RawHTTPClient(quint16 port) {
    descriptor_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor_ < 0)
        return;
    // Every send leaves at once, so pieces reach the server as separate segments.
    const int one = 1;
    ::setsockopt(descriptor_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval sendTimeout{2, 0};
    ::setsockopt(descriptor_, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ =
        ::connect(descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

RawHTTPClient::~RawHTTPClient() {
    if (descriptor_ >= 0)
        ::close(descriptor_);
}

bool RawHTTPClient::send(std::string_view bytes) {
    if (!connected())
        return false;
    while (!bytes.empty()) {
        const ssize_t count = ::send(descriptor_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

void RawHTTPClient::finishSending() {
    if (connected())
        ::shutdown(descriptor_, SHUT_WR);
}

RawHTTPClient::Reply RawHTTPClient::readUntilClosed(std::chrono::milliseconds timeout) {
    Reply reply;
    if (!connected()) {
        reply.closed = true;
        return reply;
    }
    QEventLoop loop;
    QSocketNotifier notifier(descriptor_, QSocketNotifier::Read);
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&notifier, &QSocketNotifier::activated, &loop, [&] {
        if (receive(reply) == Received::End) {
            notifier.setEnabled(false);
            loop.quit();
        }
    });
    deadline.start(timeout);
    loop.exec();
    return reply;
}

RawHTTPClient::Reply RawHTTPClient::readAvailable() {
    Reply reply;
    if (!connected())
        reply.closed = true;
    else
        while (receive(reply) == Received::Bytes) {
        }
    return reply;
}

RawHTTPClient::Received RawHTTPClient::receive(Reply& reply) {
    char buffer[16384];
    const ssize_t count = ::recv(descriptor_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (count > 0) {
        reply.bytes.append(buffer, static_cast<std::size_t>(count));
        return Received::Bytes;
    }
    if (count < 0 && errno == EINTR)
        return Received::Bytes; // nothing lost; read again
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return Received::Nothing;
    reply.closed = true;
    reply.reset = count < 0 && errno == ECONNRESET;
    return Received::End;
}

bool RawHTTPClient::runEventLoopUntil(const std::function<bool()>& condition,
                                      std::chrono::milliseconds timeout) {
    if (condition())
        return true;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    poll.start(1);
    QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
    loop.exec();
    return condition();
}

std::string RawHTTPClient::request(quint16 port, std::string_view token, std::string_view body) {
    std::string out =
        "POST /v1/commands HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nAuthorization: Bearer ";
    out += token;
    out += "\r\n\r\n";
    out += body;
    return out;
}

} // namespace corvane::test
