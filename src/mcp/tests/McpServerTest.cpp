#include "mcp/McpServer.h"
#include "core/ContractValidator.h"
#include "mcp/McpError.h"
#include "mcp/McpToolCaller.h"

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace corvane;

namespace {

// A device that answers from a script and records what it was asked.
class ScriptedCaller : public McpToolCaller {
public:
    QCoro::Task<McpCallOutcome> call(std::string action, JSON params) override {
        calls.push_back(action + " " + params.data());
        co_return McpCallOutcome(next);
    }
    QCoro::Task<std::optional<std::vector<std::string>>> actions() override {
        co_return std::optional<std::vector<std::string>>(offered);
    }
    QCoro::Task<McpCallOutcome> recentActivity() override {
        co_return McpCallOutcome::success(JSON::parse(R"({"records":[]})"));
    }

    McpCallOutcome next = McpCallOutcome::success(JSON(JSON::Object{}));
    std::optional<std::vector<std::string>> offered;
    std::vector<std::string> calls;
};

const McpToolCatalog& catalog() {
    static const McpToolCatalog shipped = McpToolCatalog::load(QStringLiteral(CORVANE_SCHEMA_PATH));
    return shipped;
}

McpServer::Options options() {
    McpServer::Options out;
    out.version = "test";
    out.maxMessageBytes = 4096;
    return out;
}

std::optional<JSON> send(McpServer& server, const std::string& message,
                         std::optional<McpServer::Headers> headers = std::nullopt) {
    const std::optional<std::string> answer =
        QCoro::waitFor(server.handle(message, std::move(headers)));
    if (!answer) {
        return std::nullopt;
    }
    // One message per line on standard output: never a raw line feed inside.
    EXPECT_EQ(answer->find('\n'), std::string::npos);
    return JSON::parse(*answer);
}

std::string stateless(const std::string& method, const std::string& params = "",
                      const std::string& version = "2026-07-28") {
    return R"({"jsonrpc":"2.0","id":7,"method":")" + method + R"(","params":{)" + params +
           (params.empty() ? "" : ",") + R"("_meta":{"io.modelcontextprotocol/protocolVersion":")" +
           version + R"(","io.modelcontextprotocol/clientCapabilities":{}}}})";
}

int errorCode(const std::optional<JSON>& answer) {
    const JSON* error = answer ? answer->find("error") : nullptr;
    const JSON* code = error != nullptr ? error->find("code") : nullptr;
    return code != nullptr ? static_cast<int>(code->number().value_or(0)) : 0;
}

} // namespace

TEST(McpServer, RefusesMalformedMessagesWithTheProtocolsCodes) {
    struct Row {
        const char* name;
        std::string message;
        int code;
        JSON id;
    };
    const std::vector<Row> rows{
        {"not JSON", R"({"jsonrpc":"2.0","id":1,)", McpError::parseError, JSON()},
        {"NUL inside", std::string("{\"jsonrpc\":\"2.0\"}\0x", 19), McpError::parseError, JSON()},
        {"batch", R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", McpError::invalidRequest,
         JSON()},
        {"not an object", R"("ping")", McpError::invalidRequest, JSON()},
        {"no jsonrpc", R"({"id":1,"method":"ping"})", McpError::invalidRequest, JSON(1)},
        {"jsonrpc 1.0", R"({"jsonrpc":"1.0","id":"a","method":"ping"})", McpError::invalidRequest,
         JSON("a")},
        {"method a number", R"({"jsonrpc":"2.0","id":1,"method":5})", McpError::invalidRequest,
         JSON(1)},
        {"null id", R"({"jsonrpc":"2.0","id":null,"method":"ping"})", McpError::invalidRequest,
         JSON()},
        {"fractional id", R"({"jsonrpc":"2.0","id":1.5,"method":"ping"})", McpError::invalidRequest,
         JSON()},
        {"oversized",
         R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"x":")" + std::string(5000, 'a') +
             R"("}})",
         McpError::invalidRequest, JSON()},
        {"params an array", R"({"jsonrpc":"2.0","id":2,"method":"ping","params":[]})",
         McpError::invalidParams, JSON(2)},
        {"unknown method", stateless("prompts/list"), McpError::methodNotFound, JSON(7)},
        {"ping is gone statelessly", stateless("ping"), McpError::methodNotFound, JSON(7)},
        {"unknown version", stateless("tools/list", "", "2030-01-01"),
         McpError::unsupportedProtocolVersion, JSON(7)},
        {"handshake version in _meta", stateless("tools/list", "", "2025-11-25"),
         McpError::unsupportedProtocolVersion, JSON(7)},
        {"no _meta and no initialize",
         R"({"jsonrpc":"2.0","id":3,"method":"tools/list","params":{}})", McpError::invalidParams,
         JSON(3)},
        {"no client capabilities",
         R"({"jsonrpc":"2.0","id":3,"method":"tools/list","params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"}}})",
         McpError::invalidParams, JSON(3)},
        {"unknown tool", stateless("tools/call", R"("name":"format_disk")"),
         McpError::invalidParams, JSON(7)},
        {"arguments not an object",
         stateless("tools/call", R"("name":"get_state","arguments":[1])"), McpError::invalidParams,
         JSON(7)},
        {"unknown resource", stateless("resources/read", R"("uri":"file:///etc/passwd")"),
         McpError::invalidParams, JSON(7)},
    };
    for (const Row& row : rows) {
        ScriptedCaller caller;
        McpServer server(catalog(), caller, options());
        const std::optional<JSON> answer = send(server, row.message);
        ASSERT_TRUE(answer) << row.name;
        EXPECT_EQ(errorCode(answer), row.code) << row.name;
        EXPECT_EQ(*answer->find("id"), row.id) << row.name;
        EXPECT_TRUE(caller.calls.empty()) << row.name;
    }
}

TEST(McpServer, UnsupportedVersionNamesWhatIsSpoken) {
    ScriptedCaller caller;
    McpServer server(catalog(), caller, options());
    const std::optional<JSON> answer = send(server, stateless("tools/list", "", "1900-01-01"));
    EXPECT_EQ(answer->find("error")->find("data")->data(),
              R"({"requested":"1900-01-01","supported":["2026-07-28","2025-11-25","2025-06-18"]})");
}

TEST(McpServer, HeadersMustMatchTheBody) {
    struct Row {
        const char* name;
        McpServer::Headers headers;
        int code;
    };
    const std::string call = stateless("tools/call", R"("name":"get_state")");
    const std::vector<Row> rows{
        {"all match", {"2026-07-28", "tools/call", "get_state"}, 0},
        {"version differs", {"2025-11-25", "tools/call", "get_state"}, McpError::headerMismatch},
        {"method missing", {"2026-07-28", std::nullopt, "get_state"}, McpError::headerMismatch},
        {"method differs", {"2026-07-28", "tools/list", "get_state"}, McpError::headerMismatch},
        {"name differs", {"2026-07-28", "tools/call", "lock_screen"}, McpError::headerMismatch},
        {"name missing", {"2026-07-28", "tools/call", std::nullopt}, McpError::headerMismatch},
    };
    for (const Row& row : rows) {
        ScriptedCaller caller;
        McpServer server(catalog(), caller, options());
        const std::optional<JSON> answer = send(server, call, row.headers);
        EXPECT_EQ(errorCode(answer), row.code) << row.name;
        EXPECT_EQ(caller.calls.size(), row.code == 0 ? 1U : 0U) << row.name;
    }
}

TEST(McpServer, NotificationsAndResponsesGetNoAnswer) {
    ScriptedCaller caller;
    McpServer server(catalog(), caller, options());
    for (const char* message : {
             R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
             R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})",
             R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"lock_screen"}})",
             R"({"jsonrpc":"2.0","id":4,"result":{}})",
         }) {
        EXPECT_FALSE(send(server, message)) << message;
    }
    EXPECT_TRUE(caller.calls.empty());
}

TEST(McpServer, InitializeNegotiatesAHandshakeRevision) {
    struct Row {
        const char* requested;
        const char* agreed;
    };
    for (const Row& row : {Row{"2025-11-25", "2025-11-25"}, Row{"2025-06-18", "2025-06-18"},
                           Row{"2024-11-05", "2025-11-25"}, Row{"2026-07-28", "2025-11-25"}}) {
        ScriptedCaller caller;
        McpServer server(catalog(), caller, options());
        const std::optional<JSON> answer =
            send(server, std::string(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{)"
                                     R"("protocolVersion":")") +
                             row.requested +
                             R"(","capabilities":{},"clientInfo":{"name":"t","version":"1"}}})");
        EXPECT_EQ(*answer->find("result")->stringMember("protocolVersion"), row.agreed);
        // The session now serves requests without per-request metadata, without resultType.
        const std::optional<JSON> list =
            send(server, R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})");
        ASSERT_NE(list->find("result"), nullptr) << row.requested;
        EXPECT_EQ(list->find("result")->find("resultType"), nullptr);
    }
}

TEST(McpServer, ToolsFollowTheCapabilityReport) {
    ScriptedCaller caller;
    McpServer server(catalog(), caller, options());
    const auto names = [&] {
        std::vector<std::string> out;
        const std::optional<JSON> answer = send(server, stateless("tools/list"));
        for (const JSON& tool : *answer->find("result")->find("tools")->array()) {
            out.push_back(*tool.stringMember("name"));
        }
        return out;
    };
    // Unknown report: every action of the contract.
    EXPECT_EQ(names(), catalog().names());
    caller.offered = std::vector<std::string>{"set_volume", "get_state"};
    EXPECT_EQ(names(), (std::vector<std::string>{"get_state", "set_volume"}));
}

TEST(McpServer, CallResultsAndRefusals) {
    ScriptedCaller caller;
    McpServer server(catalog(), caller, options());

    caller.next = McpCallOutcome::success(JSON::parse(R"({"already_locked":false})"));
    std::optional<JSON> answer =
        send(server, stateless("tools/call", R"("name":"lock_screen","arguments":{"x":1})"));
    const JSON* result = answer->find("result");
    EXPECT_EQ(result->find("structuredContent")->data(), R"({"already_locked":false})");
    EXPECT_EQ(result->find("content")->data(),
              R"([{"text":"{\"already_locked\":false}","type":"text"}])");
    EXPECT_EQ(*result->stringMember("resultType"), "complete");
    EXPECT_EQ(caller.calls.back(), R"(lock_screen {"x":1})");

    caller.next = McpCallOutcome::refusal("screen_locked", "The Mac is locked.");
    answer = send(server, stateless("tools/call", R"("name":"set_volume")"));
    result = answer->find("result");
    EXPECT_TRUE(result->find("isError")->isTrue());
    EXPECT_EQ(result->find("structuredContent"), nullptr);
    EXPECT_EQ(result->find("content")->data(),
              R"([{"text":"screen_locked: The Mac is locked.","type":"text"}])");
    EXPECT_EQ(caller.calls.back(), "set_volume {}");

    // The window's image travels as an image block, the elements as structured content.
    caller.next = McpCallOutcome::success(JSON::parse(
        R"({"elements":[],"image":{"base64":"/9j/","height":1,"mime_type":"image/jpeg","width":1}})"));
    answer = send(server, stateless("tools/call", R"("name":"desktop_observe")"));
    result = answer->find("result");
    EXPECT_EQ(result->find("structuredContent")->data(), R"({"elements":[]})");
    EXPECT_EQ(result->find("content")->array()->at(1),
              JSON::parse(R"({"data":"/9j/","mimeType":"image/jpeg","type":"image"})"));
}

TEST(McpServer, ResourcesReadThroughTheDevice) {
    ScriptedCaller caller;
    McpServer server(catalog(), caller, options());
    caller.next = McpCallOutcome::success(JSON::parse(R"({"screen_locked":true})"));
    std::optional<JSON> answer =
        send(server, stateless("resources/read", R"("uri":"velto://device/state")"));
    EXPECT_EQ(*answer->find("result")->find("contents")->array()->front().stringMember("text"),
              R"({"screen_locked":true})");
    EXPECT_EQ(caller.calls.back(), "get_state {}");

    caller.next = McpCallOutcome::refusal("connection_or_storage_failed", "Try again.");
    answer = send(server, stateless("resources/read", R"("uri":"velto://device/state")"));
    EXPECT_EQ(errorCode(answer), McpError::internalError);

    answer = send(server, stateless("resources/templates/list"));
    EXPECT_EQ(answer->find("result")->find("resourceTemplates")->data(), "[]");

    // The handshake revisions keep their own "not found" code.
    send(
        server,
        R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-11-25"}})");
    answer = send(server,
                  R"({"jsonrpc":"2.0","id":1,"method":"resources/read","params":{"uri":"x:y"}})");
    EXPECT_EQ(errorCode(answer), McpError::resourceNotFound);
}

TEST(McpServer, SubscriptionsAreAcknowledgedAndHeldUntilCancelledOrEnded) {
    ScriptedCaller caller;
    McpServer server(catalog(), caller, options());
    std::vector<std::string> sent;
    const McpServer::Sink sink = [&sent](const std::string& message) {
        sent.push_back(message);
    };
    const std::string listen =
        stateless("subscriptions/listen", R"("notifications":{"toolsListChanged":true})");

    // Cancelled by the client: no answer at all.
    QCoro::Task<std::optional<std::string>> cancelled = server.handle(listen, std::nullopt, sink);
    ASSERT_EQ(sent.size(), 1U);
    EXPECT_EQ(*JSON::parse(sent.front()).find("params"),
              JSON::parse(
                  R"({"_meta":{"io.modelcontextprotocol/subscriptionId":7},"notifications":{}})"));
    EXPECT_FALSE(
        send(server,
             R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":7}})"));
    EXPECT_FALSE(QCoro::waitFor(std::move(cancelled)));

    // Ended by the server: its closing result.
    QCoro::Task<std::optional<std::string>> ended = server.handle(listen, std::nullopt, sink);
    server.endSubscriptions();
    const std::optional<std::string> closing = QCoro::waitFor(std::move(ended));
    ASSERT_TRUE(closing);
    const JSON answer = JSON::parse(*closing);
    const JSON* result = answer.find("result");
    ASSERT_NE(result, nullptr) << *closing;
    EXPECT_EQ(
        *result,
        JSON::parse(
            R"({"_meta":{"io.modelcontextprotocol/serverInfo":{"name":"velto","title":"Velto","version":"test"},"io.modelcontextprotocol/subscriptionId":7},"resultType":"complete"})"));

    // A transport with nowhere to send the acknowledgement does not serve it.
    EXPECT_EQ(errorCode(send(server, listen)), McpError::methodNotFound);
}

TEST(McpToolCatalog, OutputSchemasAcceptWhatTheActionsAnswer) {
    // The output schema with its definitions, checked by the contract's own engine.
    const auto accepts = [](std::string_view action, const char* value) {
        JSON::Object schema = *catalog().tool(action)->find("outputSchema")->object();
        JSON::Object defs = *schema.at("$defs").object();
        schema.erase("$defs");
        defs.emplace("Output", JSON(std::move(schema)));
        const ContractValidator validator =
            ContractValidator::fromJSON(JSON(JSON::Object{{"$defs", JSON(std::move(defs))}}));
        try {
            validator.validate("Output", JSON::parse(value));
            return true;
        } catch (const std::exception&) {
            return false;
        }
    };
    EXPECT_TRUE(accepts("get_state", R"({"screen_locked":true})"));
    EXPECT_FALSE(accepts("get_state", R"({"screen_locked":false})"));
    EXPECT_TRUE(accepts("quit_app", R"({"already_closed":true})"));
    EXPECT_TRUE(accepts("quit_app", R"({})"));
    EXPECT_TRUE(accepts("lock_screen", R"({"already_locked":true})"));
    EXPECT_FALSE(accepts("set_volume", R"({"already_locked":true})"));

    for (const std::string& name : catalog().names()) {
        const JSON& tool = *catalog().tool(name);
        EXPECT_EQ(*tool.find("inputSchema")->stringMember("type"), "object") << name;
        EXPECT_EQ(tool.find("inputSchema")->find("description"), nullptr) << name;
        EXPECT_EQ(*tool.find("outputSchema")->stringMember("type"), "object") << name;
    }
    EXPECT_NE(catalog().tool("desktop_act")->stringMember("description")->find("consent"),
              std::string::npos);
}
