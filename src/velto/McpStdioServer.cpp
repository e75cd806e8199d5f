#include "velto/McpStdioServer.h"

#include "core/Detached.h"
#include "mcp/McpError.h"
#include "mcp/McpServer.h"

#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace corvane {

namespace {

constexpr std::size_t readSize = 64 * 1024;

std::string tooLarge(std::size_t limit) {
    return JSON(JSON::Object{{"jsonrpc", JSON("2.0")},
                             {"id", JSON()},
                             {"error", JSON(JSON::Object{
                                           {"code", JSON(McpError::invalidRequest)},
                                           {"message", JSON("Message larger than " +
                                                            std::to_string(limit) + " bytes")}})}})
        .data();
}

} // namespace

McpStdioServer::McpStdioServer(McpServer& server, int input, int output, std::size_t maxLineBytes,
                               std::function<void()> finished)
    : server_(server)
    , output_(output)
    , maxLineBytes_(maxLineBytes)
    , finished_(std::move(finished))
    , notifier_(std::make_unique<QSocketNotifier>(input, QSocketNotifier::Read)) {
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { readable(); });
}

McpStdioServer::~McpStdioServer() = default;

void McpStdioServer::readable() {
    char chunk[readSize];
    const ssize_t got = ::read(static_cast<int>(notifier_->socket()), chunk, sizeof chunk);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (got <= 0) {
        // The client closed its end: answer what is under way, then finish.
        notifier_->setEnabled(false);
        ended_ = true;
        if (!buffer_.empty() && !discarding_) {
            take(std::move(buffer_));
        }
        buffer_.clear();
        // Open subscriptions end with their closing result, so that nothing waits for ever.
        server_.endSubscriptions();
        settle();
        return;
    }
    std::size_t start = 0;
    const std::string_view bytes(chunk, static_cast<std::size_t>(got));
    while (start < bytes.size()) {
        const std::size_t newline = bytes.find('\n', start);
        const std::string_view piece =
            bytes.substr(start, newline == std::string_view::npos ? newline : newline - start);
        if (!discarding_) {
            buffer_.append(piece);
            if (buffer_.size() > maxLineBytes_) {
                buffer_.clear();
                discarding_ = true;
            }
        }
        if (newline == std::string_view::npos) {
            break;
        }
        if (discarding_) {
            discarding_ = false;
            write(tooLarge(maxLineBytes_));
        } else {
            take(std::move(buffer_));
            buffer_.clear();
        }
        start = newline + 1;
    }
}

void McpStdioServer::take(std::string line) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.find_first_not_of(" \t") == std::string::npos) {
        return;
    }
    ++underWay_;
    startDetached(serve(std::move(line)), [this](std::exception_ptr) {
        --underWay_;
        settle();
    });
}

QCoro::Task<> McpStdioServer::serve(std::string line) {
    // The server answers every failure itself; this object outlives every message under way
    // (finished runs only once none is left).
    McpServer::Sink sink = [this](const std::string& message) {
        write(message);
    };
    const std::optional<std::string> answer =
        co_await server_.handle(std::move(line), std::nullopt, std::move(sink));
    if (answer) {
        write(*answer);
    }
    --underWay_;
    settle();
}

void McpStdioServer::write(const std::string& message) {
    if (broken_) {
        return;
    }
    const std::string line = message + "\n";
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t done = ::write(output_, line.data() + written, line.size() - written);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            // Nobody reads the answers any more: stop taking messages.
            std::fprintf(stderr, "velto mcp: standard output closed\n");
            broken_ = true;
            ended_ = true;
            notifier_->setEnabled(false);
            server_.endSubscriptions();
            return;
        }
        written += static_cast<std::size_t>(done);
    }
}

void McpStdioServer::settle() {
    if (ended_ && underWay_ == 0 && !reported_) {
        reported_ = true;
        // On the next turn, so that the caller of settle() is not torn down under itself.
        QTimer::singleShot(0, notifier_.get(), [this] { finished_(); });
    }
}

} // namespace corvane
