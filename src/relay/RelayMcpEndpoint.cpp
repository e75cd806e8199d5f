#include "relay/RelayMcpEndpoint.h"

#include "core/Uuid.h"
#include "mcp/McpError.h"
#include "mcp/McpServer.h"
#include "relay/RelayDeviceToolCaller.h"
#include "relay/RelayOAuthHttp.h"

#include <QCoreApplication>

#include <algorithm>

namespace corvane {

struct RelayMcpEndpoint::Served {
    Served(DeviceHub& hub, RelayStoreThread& store, RelayMcpCommandWaits& waits,
           std::weak_ptr<const bool> alive, RelayDeviceToolCaller::Target target,
           McpToolCatalog catalog, RelayDeviceToolCaller::Elsewhere elsewhere)
        : caller(hub, store, waits, std::move(alive), std::move(target), std::move(elsewhere))
        , server(std::move(catalog), caller, options()) {}

    static McpServer::Options options() {
        McpServer::Options options;
        options.version = QCoreApplication::applicationVersion().toStdString();
        // The request reader refuses larger bodies on their declared length already.
        options.maxMessageBytes = 64 * 1024;
        return options;
    }

    RelayDeviceToolCaller caller;
    McpServer server;
};

namespace {

RelayHttpResponse plainJSON(int status, const JSON& body) {
    RelayHttpResponse response;
    response.status = status;
    response.body = QByteArray::fromStdString(body.data());
    return response;
}

// A refusal of the transport, as a JSON-RPC error without an id (the message was not read).
RelayHttpResponse transportRefusal(int status, int code, const std::string& message) {
    return plainJSON(status,
                     JSON(JSON::Object{{"jsonrpc", JSON("2.0")},
                                       {"id", JSON()},
                                       {"error", JSON(JSON::Object{{"code", JSON(code)},
                                                                   {"message", JSON(message)}})}}));
}

// 400 for a message that could not be taken at all or whose headers contradict it; the
// protocol's other errors answer a request that was understood.
int statusOf(const std::string& message) {
    if (message.rfind("{\"error\"", 0) != 0) {
        return 200;
    }
    try {
        const JSON answer = JSON::parse(message);
        const JSON* code = answer.find("error")->find("code");
        const std::optional<double> number = code != nullptr ? code->number() : std::nullopt;
        if (number && (*number == McpError::parseError || *number == McpError::invalidRequest ||
                       *number == McpError::headerMismatch)) {
            return 400;
        }
    } catch (const std::exception&) {
    }
    return 200;
}

RelayHttpResponse answered(const std::optional<std::string>& message) {
    RelayHttpResponse response;
    if (!message) {
        response.status = 202; // a notification or a response: nothing to answer
        return response;
    }
    response.status = statusOf(*message);
    response.body = QByteArray::fromStdString(*message);
    return response;
}

// Whether an Accept header admits both answers the transport may give.
bool acceptsBoth(const QByteArray& accept) {
    if (accept.trimmed().isEmpty()) {
        return true;
    }
    bool json = false;
    bool stream = false;
    for (const QByteArray& item : accept.split(',')) {
        const QByteArray type = item.split(';').front().trimmed().toLower();
        json = json || type == "application/json" || type == "application/*" || type == "*/*";
        stream = stream || type == "text/event-stream" || type == "text/*" || type == "*/*";
    }
    return json && stream;
}

bool knownRevision(const QByteArray& version) {
    const std::string text = version.toStdString();
    const auto& handshake = McpServer::handshakeRevisions;
    return text == McpServer::statelessRevision ||
           std::find(handshake.begin(), handshake.end(), text) != handshake.end();
}

std::optional<std::string> headerValue(const RelayHttpRequest& request, const char* name) {
    const auto found = request.headers.find(QByteArray(name));
    if (found == request.headers.end()) {
        return std::nullopt;
    }
    return found->second.toStdString();
}

bool initializes(const QByteArray& body) {
    try {
        const JSON message =
            JSON::parse(std::string_view(body.constData(), static_cast<std::size_t>(body.size())));
        const std::string* method = message.stringMember("method");
        return method != nullptr && *method == "initialize";
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

RelayMcpEndpoint::RelayMcpEndpoint(RelayOAuthHttp& oauth, DeviceHub& hub, RelayStoreThread& store,
                                   const Clock& clock, McpToolCatalog catalog,
                                   RelayDeviceToolCaller::Elsewhere elsewhere)
    : oauth_(oauth)
    , hub_(hub)
    , store_(store)
    , clock_(clock)
    , catalog_(std::move(catalog))
    , elsewhere_(std::move(elsewhere))
    , calls_(clock, callsPerMinute, std::chrono::minutes(1)) {}

RelayMcpEndpoint::~RelayMcpEndpoint() = default;

std::optional<RelayHttpResponse>
RelayMcpEndpoint::admit(const RelayHttpRequest& request,
                        const std::optional<RelayOAuthValidator::Access>& access,
                        Admitted& admitted) {
    // A page of another site could otherwise use a token the browser was given.
    const QByteArray origin = request.header("origin");
    if (!origin.isEmpty() && origin != "https://" + request.header("host")) {
        return transportRefusal(403, McpError::invalidRequest, "Origin not allowed");
    }
    if (calls_.limited(access->grantId)) {
        RelayHttpResponse limited =
            transportRefusal(429, McpError::invalidRequest, "Too many requests");
        limited.headers.emplace_back(QByteArrayLiteral("Retry-After"), QByteArrayLiteral("60"));
        return limited;
    }
    calls_.note(access->grantId);
    const std::optional<std::string> sessionId = headerValue(request, "mcp-session-id");
    if (request.method == "DELETE") {
        const auto found = sessionId ? sessions_.find(*sessionId) : sessions_.end();
        if (found == sessions_.end() || found->second.grantId != access->grantId) {
            return transportRefusal(404, McpError::invalidRequest, "Session not found");
        }
        sessions_.erase(found);
        return plainJSON(200, JSON(JSON::Object{}));
    }
    if (request.method != "POST") {
        // No stream from the server: nothing is ever sent unasked.
        RelayHttpResponse notAllowed =
            transportRefusal(405, McpError::invalidRequest, "Method not allowed");
        notAllowed.headers.emplace_back(QByteArrayLiteral("Allow"),
                                        QByteArrayLiteral("POST, DELETE"));
        return notAllowed;
    }
    if (!request.header("content-type").toLower().startsWith("application/json")) {
        return transportRefusal(415, McpError::invalidRequest,
                                "Content-Type must be application/json");
    }
    if (!acceptsBoth(request.header("accept"))) {
        return transportRefusal(406, McpError::invalidRequest,
                                "Accept must allow application/json and text/event-stream");
    }
    const std::optional<std::string> version = headerValue(request, "mcp-protocol-version");
    if (version && !knownRevision(QByteArray::fromStdString(*version))) {
        return transportRefusal(400, McpError::unsupportedProtocolVersion,
                                "Unsupported MCP-Protocol-Version: " + *version);
    }

    const RelayDeviceToolCaller::Target target{access->accountId, access->deviceId,
                                               access->clientName};
    std::shared_ptr<Served>& served = admitted.served;
    std::optional<std::string>& created = admitted.created;
    if (sessionId) {
        const auto found = sessions_.find(*sessionId);
        const Clock::MonotonicTime now = clock_.monotonicNow();
        if (found != sessions_.end() && now - found->second.lastUsed >= sessionIdle) {
            sessions_.erase(found);
        } else if (found != sessions_.end() && found->second.grantId == access->grantId) {
            found->second.lastUsed = now;
            served = found->second.served;
        }
        if (!served) {
            // The client starts a new session (the transport's rule for 404).
            return transportRefusal(404, McpError::invalidRequest, "Session not found");
        }
    } else if (initializes(request.body)) {
        expire();
        const auto sessions =
            std::count_if(sessions_.begin(), sessions_.end(), [&access](const auto& entry) {
                return entry.second.accountId == access->accountId;
            });
        if (static_cast<std::size_t>(sessions) >= sessionsPerAccount) {
            return transportRefusal(429, McpError::invalidRequest,
                                    "Too many sessions; end one (DELETE) or wait until one "
                                    "expires");
        }
        served =
            std::make_shared<Served>(hub_, store_, waits_, alive_, target, catalog_, elsewhere_);
        created = Uuid::make();
        sessions_.emplace(
            *created, Session{access->grantId, access->accountId, clock_.monotonicNow(), served});
    } else {
        served =
            std::make_shared<Served>(hub_, store_, waits_, alive_, target, catalog_, elsewhere_);
    }

    admitted.headers = McpServer::Headers{version, headerValue(request, "mcp-method"),
                                          headerValue(request, "mcp-name")};
    return std::nullopt;
}

QCoro::Task<RelayHttpResponse> RelayMcpEndpoint::answer(RelayHttpRequest request) {
    // The token is checked first, awaited: its store may be a database away.
    RelayOAuthValidator::Checked checked = co_await oauth_.access(request);
    if (!checked.access) {
        co_return std::move(checked.refusal);
    }
    Admitted admitted;
    if (std::optional<RelayHttpResponse> refused = admit(request, checked.access, admitted)) {
        co_return std::move(*refused);
    }
    std::optional<std::string> message;
    try {
        message = co_await admitted.served->server.handle(request.body.toStdString(),
                                                          std::move(admitted.headers));
    } catch (const std::exception& error) {
        qWarning("relay: MCP message not handled: %s", error.what());
        co_return transportRefusal(500, McpError::internalError, "Internal error");
    }
    // The server drains its handlers before this object goes, so it is still here.
    std::optional<std::string>& created = admitted.created;
    if (created && !admitted.served->server.sessionRevision()) {
        // A failed initialize starts nothing.
        sessions_.erase(*created);
        created.reset();
    }
    RelayHttpResponse response = answered(message);
    if (created) {
        response.headers.emplace_back(QByteArrayLiteral("Mcp-Session-Id"),
                                      QByteArray::fromStdString(*created));
    }
    co_return response;
}

void RelayMcpEndpoint::expire() {
    const Clock::MonotonicTime now = clock_.monotonicNow();
    std::erase_if(sessions_,
                  [now](const auto& entry) { return now - entry.second.lastUsed >= sessionIdle; });
}

} // namespace corvane
