#include "velto/CommandLine.h"
#include "velto/CommandLineError.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane {
namespace {

QStringList args(const std::vector<const char*>& words) {
    QStringList out;
    for (const char* w : words) {
        out.append(QString::fromUtf8(w));
    }
    return out;
}

std::string refusal(const QStringList& arguments) {
    try {
        CommandLine::parse(arguments);
    } catch (const CommandLineError& error) {
        return error.what();
    }
    return {};
}

TEST(CommandLine, RefusalsAreOneLineNamingTheCulprit) {
    struct Row {
        std::vector<const char*> arguments;
        const char* mentions;
    };
    const std::vector<Row> rows = {
        {{"--verbose"}, "'--verbose'"},
        {{"--headless", "--bogus"}, "'--bogus'"},
        {{"--headless", "-x"}, "'-x'"},
        {{"--headless", "--platform"}, "'--platform' needs a value"},
        {{"--headless", "--platform", "--scenario", "f"}, "'--platform' needs a value"},
        {{"--headless", "--platform="}, "'--platform' needs a value"},
        {{"--headless", "--platform", "mac"}, "unknown platform 'mac'"},
        {{"--headless", "--scenario", "a", "--scenario", "b"}, "given twice"},
        {{"--headless", "extra"}, "unknown command 'extra'"},
        {{"--headless", "--relay"}, "'--relay' needs a value"},
        {{"--headless", "--relay", "https://a", "--relay", "https://b"}, "given twice"},
        {{"--headless", "--relay-ca", "ca.pem"}, "--relay-ca goes with --relay"},
        {{"call", "--relay", "https://a", "get_state"}, "'--relay'"},
        {{"--headless=yes"}, "'--headless'"},
        {{"local-api", "--scenario", "x"}, "'--scenario'"},
        {{"local-api", "--headless"}, "'--headless'"},
        {{"local-api", "now"}, "unexpected argument 'now'"},
        {{"mcp", "--json"}, "unknown option '--json'"},
        {{"mcp", "get_state"}, "unexpected argument 'get_state'"},
        {{"call"}, "usage: velto call"},
        {{"call", "get_state", "{}", "more"}, "usage: velto call"},
        {{"call", ""}, "ACTION must not be empty"},
        {{"call", "set_volume", "{level: 3}"}, "PARAMS_JSON is not valid JSON"},
        {{"call", "--timeout", "3", "get_state"}, "'--timeout'"},
        {{"sim"}, "missing command"},
        {{"sim", "--verbose"}, "'--verbose'"},
        {{"sim", "fly"}, "unknown command 'fly'"},
        {{"sim", "screen"}, "screen locked|unlocked|inactive|unknown"},
        {{"sim", "screen", "asleep"}, "screen locked|unlocked|inactive|unknown"},
        {{"sim", "screen", "locked", "now"}, "screen locked|unlocked|inactive|unknown"},
        {{"sim", "volume", "101"}, "volume 0-100"},
        {{"sim", "volume", "-1"}, "volume 0-100"},
        {{"sim", "volume", "5x"}, "volume 0-100"},
        {{"sim", "mute", "yes"}, "mute on|off"},
        {{"sim", "battery", "50", "full"}, "battery 0-100"},
        {{"sim", "session", "away"}, "session active|inactive"},
        {{"sim", "set", "audio.volume"}, "set PATH VALUE_JSON"},
        {{"sim", "patch", "{"}, "PATCH_JSON is not valid JSON"},
        {{"sim", "send", "[1]"}, "must be a JSON object"},
        {{"sim", "--platform", "mac", "ping"}, "unknown platform 'mac'"},
        {{"sim", "--platform"}, "'--platform' needs a value"},
        {{"sim", "--platform=sim", "--platform=sim", "ping"}, "given twice"},
        {{"help", "fly"}, "no help for 'fly'"},
        {{"help", "sim", "call"}, "usage: velto help"},
        {{"local-api", "--version"}, "'--version'"},
        // The window takes the headless agent's options and refuses what that refuses.
        {{"--relay-ca", "ca.pem"}, "--relay-ca goes with --relay"},
        {{"--platform", "mac"}, "unknown platform 'mac'"},
        {{"--scenario"}, "'--scenario' needs a value"},
        {{"--json"}, "unknown option '--json'"},
        {{"call", "--json=yes", "get_state"}, "unknown option '--json'"},
        {{"completion"}, "usage: velto completion bash|zsh"},
        {{"completion", "fish"}, "usage: velto completion bash|zsh"},
    };
    for (const Row& row : rows) {
        const QStringList arguments = args(row.arguments);
        const std::string message = refusal(arguments);
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        EXPECT_NE(message.find(row.mentions), std::string::npos) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        EXPECT_EQ(message.rfind("velto", 0), 0u) << message;
    }
}

TEST(CommandLine, HelpForEveryCommandWinsOverItsOtherArguments) {
    struct Row {
        std::vector<const char*> arguments;
        const char* firstLine;
    };
    const std::vector<Row> rows = {
        {{"--help"}, "Usage: velto --headless"},
        {{"-h"}, "Usage: velto --headless"},
        {{"--headless", "--help"},
         "Usage: velto --headless [--platform sim] [--scenario FILE] [--relay URL [--relay-ca "
         "FILE]]\n"},
        {{"--help", "--headless", "--scenario", "x"}, "Usage: velto --headless [--platform"},
        {{"local-api", "--help"}, "Usage: velto local-api"},
        {{"call", "--help"}, "Usage: velto call"},
        {{"call", "get_state", "-h"}, "Usage: velto call"},
        {{"sim", "--help"}, "Usage: velto sim"},
        {{"sim", "--platform", "sim", "-h"}, "Usage: velto sim"},
        {{"help"}, "Usage: velto --headless"},
        {{"help", "call"}, "Usage: velto call"},
        {{"help", "local-api"}, "Usage: velto local-api"},
        {{"mcp", "--help"}, "Usage: velto mcp"},
        {{"help", "mcp"}, "Usage: velto mcp"},
        {{"help", "sim"}, "Usage: velto sim"},
        {{"help", "headless"},
         "Usage: velto --headless [--platform sim] [--scenario FILE] [--relay URL [--relay-ca "
         "FILE]]\n"},
    };
    for (const Row& row : rows) {
        const CommandLine line = CommandLine::parse(args(row.arguments));
        EXPECT_EQ(line.mode, CommandLine::Mode::Help);
        EXPECT_TRUE(line.helpText.startsWith(QString::fromUtf8(row.firstLine)))
            << line.helpText.toStdString();
    }
}

TEST(CommandLine, VersionIsOneLine) {
    EXPECT_EQ(CommandLine::parse(args({"--version"})).mode, CommandLine::Mode::Version);
    EXPECT_EQ(CommandLine::versionText(QStringLiteral("1.2.3")), QStringLiteral("velto 1.2.3\n"));
}

// Without --headless the agent runs with its window, on the same options.
TEST(CommandLine, AgentOptionsInEitherSpellingWithOrWithoutTheWindow) {
    for (const bool headless : {true, false}) {
        SCOPED_TRACE(headless ? "headless" : "window");
        const auto parse = [headless](std::vector<const char*> words) {
            if (headless) {
                words.push_back("--headless");
            }
            return CommandLine::parse(args(words));
        };
        CommandLine line = parse({"--platform", "sim", "--scenario", "/s.json"});
        EXPECT_EQ(line.mode, headless ? CommandLine::Mode::Headless : CommandLine::Mode::Window);
        EXPECT_EQ(line.platform, QStringLiteral("sim"));
        EXPECT_EQ(line.scenario, QStringLiteral("/s.json"));
        EXPECT_EQ(parse({"--scenario=/t.json"}).scenario, QStringLiteral("/t.json"));

        line = parse({});
        EXPECT_TRUE(line.scenario.isEmpty());
        EXPECT_TRUE(line.relay.isEmpty());
        EXPECT_TRUE(line.relayCA.isEmpty());

        // The relay is taken as written; the program checks it.
        line = parse({"--relay=https://127.0.0.1:8443", "--relay-ca", "/ca.pem"});
        EXPECT_EQ(line.relay, QStringLiteral("https://127.0.0.1:8443"));
        EXPECT_EQ(line.relayCA, QStringLiteral("/ca.pem"));
    }
}

TEST(CommandLine, CallBuildsTheRequestBody) {
    CommandLine line = CommandLine::parse(args({"call", "get_state"}));
    EXPECT_EQ(line.mode, CommandLine::Mode::Call);
    EXPECT_EQ(line.request.data(), R"({"action":"get_state","params":{}})");
    EXPECT_FALSE(line.json);

    // Exact bytes for scripts, wherever the option stands before the parameters.
    for (const auto& words : {std::vector<const char*>{"call", "--json", "get_state"},
                              std::vector<const char*>{"call", "get_state", "--json"}}) {
        line = CommandLine::parse(args(words));
        EXPECT_TRUE(line.json);
        EXPECT_EQ(line.request.data(), R"({"action":"get_state","params":{}})");
    }
    EXPECT_TRUE(CommandLine::parse(args({"local-api", "--json"})).json);
    EXPECT_TRUE(CommandLine::parse(args({"sim", "--json", "state"})).json);

    // JSON that begins like an option is still the parameters after "--".
    line = CommandLine::parse(args({"call", "--platform=sim", "--", "set_volume", "-1"}));
    EXPECT_EQ(line.request.data(), R"({"action":"set_volume","params":-1})");

    line = CommandLine::parse(args({"call", "set_volume", R"({"level": 30})"}));
    EXPECT_EQ(line.request.data(), R"({"action":"set_volume","params":{"level":30}})");
}

TEST(CommandLine, SimCommandsBecomeControlLines) {
    struct Row {
        std::vector<const char*> arguments;
        std::vector<const char*> commands;
        const char* prints;
    };
    const std::vector<Row> rows = {
        {{"sim", "clear-events"}, {R"({"cmd":"clear_events"})"}, ""},
        {{"sim", "state"}, {R"({"cmd":"state"})"}, "state"},
        {{"sim", "session", "inactive"}, {R"({"active":false,"cmd":"session"})"}, ""},
        {{"sim", "volume", "0"}, {R"({"cmd":"volume","level":0})"}, ""},
        {{"sim", "mute", "on"}, {R"({"cmd":"mute","muted":true})"}, ""},
        {{"sim", "battery", "15"}, {R"({"charging":false,"cmd":"battery","percent":15})"}, ""},
        {{"sim", "battery", "100", "charging"},
         {R"({"charging":true,"cmd":"battery","percent":100})"},
         ""},
        {{"sim", "launch", "com.apple.Safari"},
         {R"({"activate":true,"bundle_id":"com.apple.Safari","cmd":"launch"})"},
         "pid"},
        {{"sim", "quit", "620"}, {R"({"cmd":"quit","pid":620})"}, ""},
        {{"sim", "frontmost", "com.apple.Music"},
         {R"({"bundle_id":"com.apple.Music","cmd":"frontmost"})"},
         ""},
        {{"sim", "set", "host.thermal_state", R"("serious")"},
         {R"({"cmd":"set","path":"host.thermal_state","value":"serious"})"},
         ""},
        {{"sim", "ax", R"([{"toggle": "doc.bold"}])"},
         {R"({"cmd":"ax","does":[{"toggle":"doc.bold"}]})"},
         ""},
        {{"sim", "send", R"({"cmd": "ping"})"}, {R"({"cmd":"ping"})"}, "*"},
        // The platform goes before the command, as for every other command.
        {{"sim", "--platform", "sim", "mute", "off"}, {R"({"cmd":"mute","muted":false})"}, ""},
        {{"sim", "--platform=sim", "set", "audio.volume", "-1"},
         {R"({"cmd":"set","path":"audio.volume","value":-1})"},
         ""},
    };
    for (const Row& row : rows) {
        const QStringList arguments = args(row.arguments);
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        const CommandLine line = CommandLine::parse(arguments);
        ASSERT_EQ(line.mode, CommandLine::Mode::Sim);
        ASSERT_EQ(line.simCommands.size(), row.commands.size());
        for (std::size_t i = 0; i < row.commands.size(); ++i) {
            EXPECT_EQ(line.simCommands[i].data(), row.commands[i]);
        }
        EXPECT_EQ(line.simPrints, row.prints);
    }
}

} // namespace
} // namespace corvane
