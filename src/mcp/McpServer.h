#pragma once

#include "core/JSON.h"
#include "mcp/McpToolCatalog.h"

#include <QCoro/QCoroTask>

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

class McpToolCaller;

// One MCP server over any transport: the bytes of one JSON-RPC message in, the bytes of its answer
// out (none for a notification or a response). It speaks the handshake revisions 2025-11-25 and
// 2025-06-18 (initialize, then requests) and the stateless 2026-07-28 form (every request carries
// its version and the client's capabilities in params._meta; server/discover; results carry
// resultType). Batches are refused, as both handshake revisions removed them.
//
// One object is one session of the handshake revisions (a standard input and output process, or
// one HTTP session); stateless requests may arrive on it in any order. Messages may be handled
// concurrently; the server and its caller must outlive every handle() under way.
class McpServer {
public:
    static constexpr std::string_view statelessRevision = "2026-07-28";
    // Newest first: an initialize asking for a revision not listed here is answered with the first.
    static constexpr std::array<std::string_view, 2> handshakeRevisions{"2025-11-25", "2025-06-18"};
    static constexpr std::string_view stateURI = "velto://device/state";
    static constexpr std::string_view activityURI = "velto://device/activity";

    struct Options {
        std::string name = "velto";
        std::string version;
        // Checked before the message is parsed.
        std::size_t maxMessageBytes = 1024 * 1024;
    };

    // Values an HTTP transport carries beside the body (absent on standard input and output):
    // MCP-Protocol-Version, Mcp-Method and Mcp-Name, each checked against the body.
    struct Headers {
        std::optional<std::string> protocolVersion;
        std::optional<std::string> method;
        std::optional<std::string> name;
    };

    McpServer(McpToolCatalog catalog, McpToolCaller& caller, Options options);
    ~McpServer();

    // Where a request's messages before its answer go (on standard output, the same lines; over
    // HTTP, that request's event stream).
    using Sink = std::function<void(const std::string& message)>;

    // A stateless subscriptions/listen is acknowledged through `sink` (none of the change
    // notifications is offered: the tools follow the capability report, which the client reads
    // again after ttlMs) and stays open until the client cancels it (no answer) or
    // endSubscriptions() (its closing result); without a sink it is not served.
    QCoro::Task<std::optional<std::string>>
    handle(std::string message, std::optional<Headers> headers = std::nullopt, Sink sink = nullptr);

    // Ends every open subscription with its closing result (the transport is going away).
    void endSubscriptions();

    // The handshake revision this session agreed on; absent before initialize.
    std::optional<std::string> sessionRevision() const;

    // The session and what handling needs, shared with the handlers under way; defined in the
    // implementation.
    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace corvane
