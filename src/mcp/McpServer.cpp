#include "mcp/McpServer.h"

#include "mcp/McpError.h"
#include "mcp/McpToolCaller.h"

#include <QFuture>
#include <QPromise>
#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <map>

namespace corvane {

namespace {

// An open subscriptions/listen: its request waits until it is cancelled or ended.
struct Subscription {
    QPromise<void> done;
    bool ended = false;
    bool cancelled = false;

    void end(bool byClient) {
        if (!ended) {
            ended = true;
            cancelled = byClient;
            done.finish();
        }
    }
};

} // namespace

struct McpServer::State {
    McpToolCatalog catalog;
    McpToolCaller& caller;
    Options options;
    std::optional<std::string> revision;
    // By the request's id as JSON text.
    std::map<std::string, std::shared_ptr<Subscription>> subscriptions;
};

namespace {

constexpr std::string_view versionKey = "io.modelcontextprotocol/protocolVersion";
constexpr std::string_view capabilitiesKey = "io.modelcontextprotocol/clientCapabilities";
constexpr std::string_view serverInfoKey = "io.modelcontextprotocol/serverInfo";
constexpr std::string_view subscriptionKey = "io.modelcontextprotocol/subscriptionId";

// A subscription cancelled by the client gets no answer at all.
struct Unanswered {};
// How long a client may keep a list (tools follow the capability report, which rarely changes);
// resources are read afresh each time.
constexpr int listTtlMs = 60000;

struct Envelope {
    JSON id;
    std::string method;
    JSON params;
    bool notification = false;
    bool response = false;
};

const JSON::Object& members(const JSON& value) {
    static const JSON::Object none;
    return value.object() != nullptr ? *value.object() : none;
}

bool validId(const JSON& id) {
    if (id.string() != nullptr) {
        return true;
    }
    const std::optional<double> number = id.number();
    return number && std::isfinite(*number) && std::trunc(*number) == *number;
}

// The message's envelope; `id` is set as soon as it is known, so that an error after it can be
// answered to the request it belongs to.
Envelope readEnvelope(const std::string& message, std::size_t limit, JSON& id) {
    if (message.size() > limit) {
        throw McpError(McpError::invalidRequest,
                       "Message larger than " + std::to_string(limit) + " bytes");
    }
    JSON value;
    try {
        value = JSON::parse(message);
    } catch (const std::exception&) {
        throw McpError(McpError::parseError, "Parse error");
    }
    if (value.isArray()) {
        throw McpError(McpError::invalidRequest, "Batches are not supported");
    }
    if (!value.isObject()) {
        throw McpError(McpError::invalidRequest, "A message must be a JSON object");
    }
    Envelope envelope;
    const JSON* given = value.find("id");
    if (given != nullptr && validId(*given)) {
        id = *given;
    }
    const std::string* version = value.stringMember("jsonrpc");
    if (version == nullptr || *version != "2.0") {
        throw McpError(McpError::invalidRequest, "jsonrpc must be \"2.0\"");
    }
    const JSON* method = value.find("method");
    if (method == nullptr && given != nullptr &&
        (value.find("result") != nullptr || value.find("error") != nullptr)) {
        // A client's answer: this server sends no requests, so there is nothing to match it with.
        envelope.response = true;
        return envelope;
    }
    if (method == nullptr || method->string() == nullptr) {
        throw McpError(McpError::invalidRequest, "method must be a string");
    }
    if (given != nullptr && !validId(*given)) {
        throw McpError(McpError::invalidRequest, "id must be a string or an integer");
    }
    envelope.method = *method->string();
    envelope.notification = given == nullptr;
    envelope.id = id;
    const JSON* params = value.find("params");
    if (params != nullptr && !params->isObject()) {
        throw McpError(McpError::invalidParams, "params must be an object");
    }
    envelope.params = params != nullptr ? *params : JSON(JSON::Object{});
    return envelope;
}

JSON supportedRevisions() {
    JSON::Array out{JSON(McpServer::statelessRevision)};
    for (const std::string_view revision : McpServer::handshakeRevisions) {
        out.push_back(JSON(revision));
    }
    return JSON(std::move(out));
}

const std::string* nameOf(const Envelope& envelope) {
    if (envelope.method == "tools/call") {
        return envelope.params.stringMember("name");
    }
    if (envelope.method == "resources/read") {
        return envelope.params.stringMember("uri");
    }
    return nullptr;
}

void checkHeaders(const Envelope& envelope, const McpServer::Headers& headers,
                  const std::string& version) {
    if (headers.protocolVersion && *headers.protocolVersion != version) {
        throw McpError(McpError::headerMismatch,
                       "MCP-Protocol-Version does not match " + std::string(versionKey));
    }
    if (!headers.method || *headers.method != envelope.method) {
        throw McpError(McpError::headerMismatch, "Mcp-Method does not match the method");
    }
    const std::string* name = nameOf(envelope);
    if (name != nullptr && (!headers.name || *headers.name != *name)) {
        throw McpError(McpError::headerMismatch, "Mcp-Name does not match the request");
    }
}

// Whether the request is served statelessly, after its version, capabilities and headers passed.
bool admit(const McpServer::State& state, const Envelope& envelope,
           const std::optional<McpServer::Headers>& headers) {
    const JSON* meta = envelope.params.find("_meta");
    const JSON* version = meta != nullptr ? meta->find(versionKey) : nullptr;
    if (version != nullptr) {
        if (version->string() == nullptr) {
            throw McpError(McpError::invalidParams, std::string(versionKey) + " must be a string");
        }
        if (*version->string() != McpServer::statelessRevision) {
            throw McpError(
                McpError::unsupportedProtocolVersion, "Unsupported protocol version",
                JSON(JSON::Object{{"supported", supportedRevisions()}, {"requested", *version}}));
        }
        const JSON* capabilities = meta->find(capabilitiesKey);
        if (capabilities == nullptr || !capabilities->isObject()) {
            throw McpError(McpError::invalidParams,
                           "Missing " + std::string(capabilitiesKey) + " in _meta");
        }
        if (headers) {
            checkHeaders(envelope, *headers, *version->string());
        }
        return true;
    }
    if (envelope.method == "initialize" || envelope.method == "ping" || state.revision) {
        return false;
    }
    throw McpError(McpError::invalidParams,
                   "Missing " + std::string(versionKey) + " in _meta (or initialize first)");
}

JSON serverInfo(const McpServer::Options& options) {
    return JSON(JSON::Object{{"name", JSON(options.name)},
                             {"version", JSON(options.version)},
                             {"title", JSON("Velto")}});
}

JSON capabilities() {
    return JSON(JSON::Object{
        {"tools", JSON(JSON::Object{{"listChanged", JSON(false)}})},
        {"resources", JSON(JSON::Object{{"subscribe", JSON(false)}, {"listChanged", JSON(false)}})},
    });
}

constexpr const char* instructions =
    "Velto operates this person's computer: read its state, change the volume, play media, open "
    "apps and web addresses, lock it, and (only while the person has turned desktop control on in "
    "Velto) observe and use the front window. Every call passes Velto's own checks and is logged "
    "on the computer; a refusal names its code and what to do.";

JSON initializeResult(McpServer::State& state, const JSON& params) {
    const std::string* requested = params.stringMember("protocolVersion");
    if (requested == nullptr) {
        throw McpError(McpError::invalidParams, "initialize needs protocolVersion");
    }
    const auto& known = McpServer::handshakeRevisions;
    const bool spoken = std::find(known.begin(), known.end(), *requested) != known.end();
    // Negotiation: a revision this server does not speak is answered with its newest one, and the
    // client decides whether it can go on.
    state.revision = spoken ? *requested : std::string(known.front());
    return JSON(JSON::Object{{"protocolVersion", JSON(*state.revision)},
                             {"capabilities", capabilities()},
                             {"serverInfo", serverInfo(state.options)},
                             {"instructions", JSON(instructions)}});
}

JSON discoverResult() {
    return JSON(JSON::Object{{"supportedVersions", supportedRevisions()},
                             {"capabilities", capabilities()},
                             {"instructions", JSON(instructions)}});
}

JSON toolsList(const McpToolCatalog& catalog,
               const std::optional<std::vector<std::string>>& offered) {
    JSON::Array tools;
    for (const std::string& name : catalog.names()) {
        if (offered && std::find(offered->begin(), offered->end(), name) == offered->end()) {
            continue;
        }
        tools.push_back(*catalog.tool(name));
    }
    return JSON(JSON::Object{{"tools", JSON(std::move(tools))}});
}

JSON resource(std::string_view uri, std::string_view name, std::string_view title,
              std::string_view description) {
    return JSON(JSON::Object{{"uri", JSON(uri)},
                             {"name", JSON(name)},
                             {"title", JSON(title)},
                             {"description", JSON(description)},
                             {"mimeType", JSON("application/json")}});
}

JSON resourcesList() {
    return JSON(JSON::Object{
        {"resources",
         JSON(JSON::Array{
             resource(McpServer::stateURI, "device_state", "Device state",
                      "The computer's state now, as get_state reports it (lock, front app, "
                      "now playing, battery, running apps, system, audio)."),
             resource(McpServer::activityURI, "recent_activity", "Recent activity",
                      "The 20 newest commands that ended, newest first: action, outcome and "
                      "time, from the computer's private log."),
         })}});
}

// Clients that see the resources capability may ask for templates too; there are none.
JSON noTemplates() {
    return JSON(JSON::Object{{"resourceTemplates", JSON(JSON::Array{})}});
}

JSON text(std::string value) {
    return JSON(JSON::Object{{"type", JSON("text")}, {"text", JSON(std::move(value))}});
}

// A call's outcome as a tool result: the structured result and its text, or a tool error with the
// system's code and sentence, so that the assistant sees why and can act on it.
JSON toolResult(const std::string& action, McpCallOutcome outcome) {
    if (!outcome.ok) {
        return JSON(JSON::Object{
            {"content", JSON(JSON::Array{text(outcome.code + ": " + outcome.message)})},
            {"isError", JSON(true)}});
    }
    JSON::Array content;
    JSON::Object structured = members(outcome.data);
    std::optional<JSON> image;
    if (action == "desktop_observe") {
        const auto found = structured.find("image");
        if (found != structured.end()) {
            const std::string* data = found->second.stringMember("base64");
            const std::string* type = found->second.stringMember("mime_type");
            if (data != nullptr && type != nullptr) {
                image = JSON(JSON::Object{
                    {"type", JSON("image")}, {"data", JSON(*data)}, {"mimeType", JSON(*type)}});
                // The image travels once, as an image block; the elements stay structured.
                structured.erase(found);
            }
        }
    }
    JSON data(std::move(structured));
    content.push_back(text(data.data()));
    if (image) {
        content.push_back(std::move(*image));
    }
    return JSON(JSON::Object{{"content", JSON(std::move(content))},
                             {"structuredContent", std::move(data)},
                             {"isError", JSON(false)}});
}

JSON readResult(std::string_view uri, const McpCallOutcome& outcome) {
    if (!outcome.ok) {
        throw McpError(McpError::internalError, outcome.message,
                       JSON(JSON::Object{{"code", JSON(outcome.code)}}));
    }
    return JSON(JSON::Object{
        {"contents", JSON(JSON::Array{JSON(JSON::Object{{"uri", JSON(uri)},
                                                        {"mimeType", JSON("application/json")},
                                                        {"text", JSON(outcome.data.data())}})})}});
}

// Adds what every stateless result carries, and the cache hints of the cacheable ones.
JSON finished(JSON result, const std::string& method, bool stateless,
              const McpServer::Options& options) {
    if (!stateless) {
        return result;
    }
    JSON::Object out = members(result);
    out["resultType"] = JSON("complete");
    JSON::Object meta = members(out["_meta"]);
    meta[std::string(serverInfoKey)] = serverInfo(options);
    out["_meta"] = JSON(std::move(meta));
    if (method == "tools/list" || method == "resources/list" || method == "resources/read" ||
        method == "resources/templates/list" || method == "server/discover") {
        out["ttlMs"] = JSON(method == "resources/read" ? 0 : listTtlMs);
        out["cacheScope"] = JSON("private");
    }
    return JSON(std::move(out));
}

std::string answer(const JSON& id, JSON result) {
    return JSON(JSON::Object{{"jsonrpc", JSON("2.0")}, {"id", id}, {"result", std::move(result)}})
        .data();
}

std::string errorAnswer(const JSON& id, const McpError& error) {
    JSON::Object body{{"code", JSON(error.code())}, {"message", JSON(std::string(error.what()))}};
    if (!error.data().isNull()) {
        body.emplace("data", error.data());
    }
    return JSON(
               JSON::Object{{"jsonrpc", JSON("2.0")}, {"id", id}, {"error", JSON(std::move(body))}})
        .data();
}

const std::string& toolName(const Envelope& envelope, const McpToolCatalog& catalog) {
    const std::string* name = envelope.params.stringMember("name");
    if (name == nullptr) {
        throw McpError(McpError::invalidParams, "tools/call needs name");
    }
    if (catalog.tool(*name) == nullptr) {
        throw McpError(McpError::invalidParams, "Unknown tool: " + *name);
    }
    return *name;
}

JSON toolArguments(const Envelope& envelope) {
    const JSON* arguments = envelope.params.find("arguments");
    if (arguments == nullptr) {
        return JSON(JSON::Object{});
    }
    if (!arguments->isObject()) {
        throw McpError(McpError::invalidParams, "arguments must be an object");
    }
    return *arguments;
}

std::string resourceURI(const Envelope& envelope, bool stateless) {
    const std::string* uri = envelope.params.stringMember("uri");
    if (uri == nullptr) {
        throw McpError(McpError::invalidParams, "resources/read needs uri");
    }
    if (*uri != McpServer::stateURI && *uri != McpServer::activityURI) {
        throw McpError(stateless ? McpError::invalidParams : McpError::resourceNotFound,
                       "Resource not found", JSON(JSON::Object{{"uri", JSON(*uri)}}));
    }
    return *uri;
}

JSON acknowledgement(const JSON& id) {
    return JSON(JSON::Object{
        {"jsonrpc", JSON("2.0")},
        {"method", JSON("notifications/subscriptions/acknowledged")},
        {"params",
         JSON(JSON::Object{{"notifications", JSON(JSON::Object{})},
                           {"_meta", JSON(JSON::Object{{std::string(subscriptionKey), id}})}})}});
}

JSON listenClosed(const JSON& id) {
    return JSON(JSON::Object{{"_meta", JSON(JSON::Object{{std::string(subscriptionKey), id}})}});
}

QCoro::Task<JSON> listen(std::shared_ptr<McpServer::State> state, Envelope envelope,
                         McpServer::Sink sink) {
    const JSON* filter = envelope.params.find("notifications");
    if (filter == nullptr || !filter->isObject()) {
        throw McpError(McpError::invalidParams, "subscriptions/listen needs notifications");
    }
    const std::string key = envelope.id.data();
    if (state->subscriptions.count(key) != 0) {
        throw McpError(McpError::invalidRequest, "A subscription with this id is open");
    }
    auto subscription = std::make_shared<Subscription>();
    subscription->done.start();
    const QFuture<void> done = subscription->done.future();
    state->subscriptions.emplace(key, subscription);
    sink(acknowledgement(envelope.id).data());
    co_await done;
    state->subscriptions.erase(key);
    if (subscription->cancelled) {
        throw Unanswered{};
    }
    co_return listenClosed(envelope.id);
}

// A client's notifications/cancelled for an open subscription ends it without an answer; other
// requests run to their end (a command already sent to the device cannot be called back).
void cancel(McpServer::State& state, const JSON& params) {
    const JSON* id = params.find("requestId");
    const auto found =
        id != nullptr ? state.subscriptions.find(id->data()) : state.subscriptions.end();
    if (found != state.subscriptions.end()) {
        found->second->end(true);
    }
}

QCoro::Task<JSON> dispatch(std::shared_ptr<McpServer::State> state, Envelope envelope,
                           bool stateless, McpServer::Sink sink) {
    const std::string& method = envelope.method;
    if (method == "initialize" && !stateless) {
        co_return initializeResult(*state, envelope.params);
    }
    if (method == "ping" && !stateless) {
        co_return JSON(JSON::Object{});
    }
    if (method == "server/discover") {
        co_return discoverResult();
    }
    if (method == "subscriptions/listen" && stateless && sink) {
        co_return co_await listen(state, std::move(envelope), std::move(sink));
    }
    if (method == "tools/list") {
        const std::optional<std::vector<std::string>> offered = co_await state->caller.actions();
        co_return toolsList(state->catalog, offered);
    }
    if (method == "tools/call") {
        const std::string action = toolName(envelope, state->catalog);
        JSON arguments = toolArguments(envelope);
        McpCallOutcome outcome = co_await state->caller.call(action, std::move(arguments));
        co_return toolResult(action, std::move(outcome));
    }
    if (method == "resources/list") {
        co_return resourcesList();
    }
    if (method == "resources/templates/list") {
        co_return noTemplates();
    }
    if (method == "resources/read") {
        const std::string uri = resourceURI(envelope, stateless);
        if (uri == McpServer::stateURI) {
            const McpCallOutcome outcome =
                co_await state->caller.call("get_state", JSON(JSON::Object{}));
            co_return readResult(uri, outcome);
        }
        const McpCallOutcome outcome = co_await state->caller.recentActivity();
        co_return readResult(uri, outcome);
    }
    throw McpError(McpError::methodNotFound, "Method not found: " + method);
}

QCoro::Task<std::optional<std::string>> run(std::shared_ptr<McpServer::State> state,
                                            std::string message,
                                            std::optional<McpServer::Headers> headers,
                                            McpServer::Sink sink) {
    JSON id;
    try {
        const Envelope envelope = readEnvelope(message, state->options.maxMessageBytes, id);
        // Notifications (initialized, cancelled) need nothing from this server and get no
        // answer, like responses.
        if (envelope.notification && envelope.method == "notifications/cancelled") {
            cancel(*state, envelope.params);
        }
        if (envelope.response || envelope.notification) {
            co_return std::nullopt;
        }
        const bool stateless = admit(*state, envelope, headers);
        JSON result = co_await dispatch(state, envelope, stateless, std::move(sink));
        co_return answer(id,
                         finished(std::move(result), envelope.method, stateless, state->options));
    } catch (const McpError& error) {
        co_return errorAnswer(id, error);
    } catch (const Unanswered&) {
        co_return std::nullopt;
    } catch (const std::exception& error) {
        co_return errorAnswer(
            id, McpError(McpError::internalError, std::string("Internal error: ") + error.what()));
    }
}

} // namespace

McpServer::McpServer(McpToolCatalog catalog, McpToolCaller& caller, Options options)
    : state_(
          std::make_shared<State>(State{std::move(catalog), caller, std::move(options), {}, {}})) {}

McpServer::~McpServer() = default;

QCoro::Task<std::optional<std::string>>
McpServer::handle(std::string message, std::optional<Headers> headers, Sink sink) {
    return run(state_, std::move(message), std::move(headers), std::move(sink));
}

void McpServer::endSubscriptions() {
    for (const auto& [id, subscription] : state_->subscriptions) {
        subscription->end(false);
    }
}

std::optional<std::string> McpServer::sessionRevision() const {
    return state_->revision;
}

} // namespace corvane
