#pragma once

#include "core/Clock.h"
#include "mcp/McpServer.h"
#include "mcp/McpToolCatalog.h"
#include "relay/DeviceHub.h"
#include "relay/RelayDeviceToolCaller.h"
#include "relay/RelayHttp.h"
#include "relay/RelayMcpCommandWaits.h"
#include "relay/RelayOAuthValidator.h"
#include "relay/RelayRateLimit.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace corvane {

class RelayOAuthHttp;
class RelayStoreThread;

// The relay's MCP endpoint, "/mcp", over the Streamable HTTP transport: an assistant holding an
// access token for one device operates that device through the relay (RelayDeviceToolCaller).
//
// Each request is checked in this order: the bearer token (401 with WWW-Authenticate naming the
// protected-resource metadata, before anything of the request is looked at), the Origin (present
// and not the relay's own: 403), the token's rate, the method (GET: 405, as no server stream is
// offered; DELETE ends a session), the content type, Accept (both JSON and event streams, as the
// transport asks of clients), MCP-Protocol-Version, then the session. The body was bounded by
// its declared length before it was read (RelayRequestReader).
//
// The handshake revisions get a session at initialize (Mcp-Session-Id), bound to the token's
// grant, a few per account, ended after an idle time; a request without one is served by a
// server of its own (the stateless revision, or the protocol's error asking to initialize).
// Answers are JSON (no event stream is offered). Main thread only.
class RelayMcpEndpoint {
public:
    static constexpr std::size_t sessionsPerAccount = 16;
    static constexpr std::chrono::minutes sessionIdle{30};
    // Calls one grant (one assistant on one device) may make in a minute.
    static constexpr int callsPerMinute = 600;

    // `elsewhere` reaches devices other relays hold (empty on a relay of its own).
    RelayMcpEndpoint(RelayOAuthHttp& oauth, DeviceHub& hub, RelayStoreThread& store,
                     const Clock& clock, McpToolCatalog catalog,
                     RelayDeviceToolCaller::Elsewhere elsewhere = {});
    ~RelayMcpEndpoint();
    RelayMcpEndpoint(const RelayMcpEndpoint&) = delete;
    RelayMcpEndpoint& operator=(const RelayMcpEndpoint&) = delete;

    static bool handles(const QString& path) { return path == QLatin1String("/mcp"); }
    // Answers a request for "/mcp"; a call waits for the device's result. A Host that names no
    // origin is refused with ContractError "invalid_request", as on every path. The server drains
    // its handlers before this object goes.
    QCoro::Task<RelayHttpResponse> answer(RelayHttpRequest request);
    // Ends the calls waiting on devices (as "relay_failed"): the relay is stopping.
    void endWaits() { waits_.endAll(); }

    // The hub's news of a command, for the calls waiting on it.
    void commandChanged(const DeviceHub::Command& command) { waits_.commandChanged(command); }

    std::size_t sessionCount() const noexcept { return sessions_.size(); }

    // One MCP server with the device it calls, shared with the requests under way; defined in
    // the implementation.
    struct Served;

private:
    struct Session {
        std::string grantId;
        std::int64_t accountId = 0;
        Clock::MonotonicTime lastUsed;
        std::shared_ptr<Served> served;
    };

    // What a request admitted goes on with.
    struct Admitted {
        std::shared_ptr<Served> served;
        std::optional<std::string> created; // a new session's id
        McpServer::Headers headers;
    };
    // The checks after the token's (`access`, never empty) before the message is handled: a
    // refusal, or what to serve it with.
    std::optional<RelayHttpResponse> admit(const RelayHttpRequest& request,
                                           const std::optional<RelayOAuthValidator::Access>& access,
                                           Admitted& admitted);
    // Forgets sessions idle past sessionIdle.
    void expire();

    RelayOAuthHttp& oauth_;
    DeviceHub& hub_;
    RelayStoreThread& store_;
    const Clock& clock_;
    McpToolCatalog catalog_;
    RelayDeviceToolCaller::Elsewhere elsewhere_;
    RelayRateLimit calls_;
    RelayMcpCommandWaits waits_;
    // Gone with this object: the calls that resume later see it.
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
    std::map<std::string, Session, std::less<>> sessions_;
};

} // namespace corvane
