#pragma once

#include <QSocketNotifier>

#include <QCoro/QCoroTask>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace corvane {

class McpServer;

// The standard input and output face of an MCP server: one JSON-RPC message per line in, one
// answer per line out, nothing else on the output. Messages are handled as they arrive (a slow
// tool call does not hold the next ping); answers go out whole, in the order they are ready. Reads
// only when the input is readable, on the calling thread's event loop.
//
// A line longer than the server's limit is dropped as it arrives (never kept whole) and answered
// with the protocol's error once it ends. When the input ends or the output can no longer be
// written, `finished` runs once every message under way has been answered.
class McpStdioServer {
public:
    McpStdioServer(McpServer& server, int input, int output, std::size_t maxLineBytes,
                   std::function<void()> finished);
    ~McpStdioServer();

    McpStdioServer(const McpStdioServer&) = delete;
    McpStdioServer& operator=(const McpStdioServer&) = delete;

private:
    void readable();
    void take(std::string line);
    void write(const std::string& message);
    void settle();
    QCoro::Task<> serve(std::string line);

    McpServer& server_;
    int output_;
    std::size_t maxLineBytes_;
    std::function<void()> finished_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::string buffer_;
    bool discarding_ = false;
    bool ended_ = false;
    bool broken_ = false;
    bool reported_ = false;
    std::size_t underWay_ = 0;
};

} // namespace corvane
