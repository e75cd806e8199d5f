#include "velto/VeltoProgram.h"

#include "actions/KeychainStore.h"
#include "agent/Agent.h"
#include "agent/AgentControlServer.h"
#include "agent/DesktopControlCommands.h"
#include "agent/TaskHandle.h"
#include "core/ActionCatalog.h"
#include "core/ContractError.h"
#include "core/InstanceLock.h"
#include "linuxdesktop/SecretServiceKeychain.h"
#include "mcp/McpServer.h"
#include "mcp/McpToolCatalog.h"
#include "platform/PlatformWithPrompts.h"
#include "platform/SettingsUserDefaults.h"
#include "sim/SimProcessRunner.h"
#include "sim/SimScenarioError.h"
#include "velto/Backend.h"
#include "velto/BackendFactory.h"
#include "velto/CapabilityQuery.h"
#include "velto/CommandLine.h"
#include "velto/ControlSocketClient.h"
#include "velto/DesktopCommand.h"
#include "velto/HeadlessPrompts.h"
#include "velto/KeychainSnapshot.h"
#include "velto/KeychainVault.h"
#include "velto/LocalCommandClient.h"
#include "velto/LoopbackToolCaller.h"
#include "velto/McpStdioServer.h"
#include "velto/PrettyJSON.h"
#include "velto/ProgramStart.h"
#include "velto/ShellCompletion.h"
#include "velto/SignalWatcher.h"
#include "velto/SimControlClient.h"
#include "velto/VeltoPaths.h"
#include "velto/WindowProgram.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QPointer>
#include <QSslCertificate>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <unistd.h>

namespace corvane {

namespace {

constexpr const char* agentService = "local.corvane.agent";
// One tool call through the loopback API, as `velto call` waits for it: past the agent's own
// limits (12 s for a tool), so that an agent that stopped answering ends as a tool error.
constexpr std::chrono::seconds mcpCallLimit{25};

// Lines for a person (standard error) are made printable, whatever the relay or a file put in
// them; output for other programs (JSON on standard output) stays as it is.
void printLine(std::FILE* stream, const std::string& line) {
    if (stream == stderr) {
        ProgramStart::printLine(line);
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// JSON for standard output: the exact bytes for scripts (--json), otherwise indented for a person.
void printJSON(const CommandLine& line, const std::string& bytes) {
    printLine(stdout, line.json ? bytes : PrettyJSON::fromBytes(bytes));
}

int fail(const std::string& prefix, const std::string& message) {
    printLine(stderr, prefix + ": " + message);
    return 1;
}

// The code of a contract error, with what stands behind it when the error says more (the damaged
// file and line); the message of any other error.
std::string describe(const std::exception& error) {
    if (const auto* contract = dynamic_cast<const ContractError*>(&error)) {
        const std::string detail = contract->what();
        return detail == contract->code() ? contract->code()
                                          : contract->code() + " (" + detail + ")";
    }
    return error.what();
}

// ---- headless -----------------------------------------------------------------------------

// Starts the connections and reports a failure that would otherwise vanish with the task.
QCoro::Task<> startConnections(QPointer<Agent> agent) {
    try {
        co_await agent->startConnections(false);
    } catch (const std::exception& error) {
        printLine(stderr, "velto: starting the connections failed: " + describe(error));
        co_return;
    }
    if (agent && agent->listening()) {
        printLine(stderr, "listening: 127.0.0.1:" + std::to_string(agent->localPort()));
    }
    // Nobody is there to click Connect: an unpaired agent with a relay pairs by itself (pair()
    // itself leaves a paired, revoking or interrupted one alone).
    if (agent && agent->connectionReady() && !agent->token() && !agent->pending()) {
        try {
            agent->origin();
        } catch (const ContractError&) {
            co_return;
        }
        agent->pair();
    }
}

int runHeadless(const CommandLine& line, int& argc, char** argv) {
    const std::optional<InstanceLock> instance = ProgramStart::lockDataFolder();
    if (!instance) {
        return 1;
    }
    // The simulated Mac paints window captures, which needs a GUI application, but never a screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    ProgramStart::prepareFolders();
    QGuiApplication application(argc, argv);
    // Read with the application in place (Qt's TLS back end ties itself to it when first used).
    QList<QSslCertificate> relayAuthorities;
    if (ProgramStart::relayOptionsRefused(line, relayAuthorities)) {
        return 2;
    }
    // From here on a termination request waits for the event loop, so even one that arrives
    // during start-up ends the run cleanly.
    SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::received, &application, [](int number) {
        printLine(stderr, std::string("velto: ") + (number == SIGINT ? "SIGINT" : "SIGTERM") +
                              ", stopping");
        QCoreApplication::quit();
    });

    SettingsUserDefaults defaults(SettingsUserDefaults::standardFilePath());
    const std::unique_ptr<Backend> backend = BackendFactory::make(line, defaults);
    if (!backend) {
        return 1;
    }

    const Platform base = backend->platform();
    HeadlessPrompts prompts(base.prompts, [](const std::string& text) { printLine(stderr, text); });
    const Platform platform = platformWithPrompts(base, prompts);

    std::unique_ptr<Agent> agent;
    try {
        Agent::Options options;
        options.relayOrigin = Agent::builtRelayOrigin();
        options.dashboardOrigin = Agent::builtDashboardOrigin();
        options.relayCertificates = relayAuthorities;
        options.report = [](const std::string& text) {
            printLine(stderr, "velto: " + text);
        };
        options.unattended = true;
        agent = std::make_unique<Agent>(
            platform, std::make_shared<KeychainVault>(platform.keychain, agentService),
            Agent::Paths{VeltoPaths::dataDirectory().toStdString(),
                         Agent::schemaBeside(QCoreApplication::applicationDirPath())},
            std::move(options));
    } catch (const std::exception& error) {
        return fail("velto", "cannot start the agent: " + describe(error));
    }

    Agent* observed = agent.get();
    QObject::connect(observed, &Agent::changed, observed, [observed](Agent::Field field) {
        if (field == Agent::Field::Status) {
            printLine(stderr, "status: " + observed->status());
        } else if (field == Agent::Field::LastCommand) {
            printLine(stderr, "last command: " + observed->lastCommand());
        }
    });
    printLine(stderr, "status: " + observed->status());

    // The person at the machine reaches the agent's desktop control through its own socket.
    DesktopControlCommands desktopCommands(*agent, platform);
    Platform reported = platform;
    auto control = std::make_unique<AgentControlServer>(
        [&desktopCommands, &reported, observed](const JSON& command) {
            // `velto mcp` lists the tools this agent offers.
            if (CapabilityQuery::matches(command)) {
                return CapabilityQuery::answer(reported, observed->executor().desktop().active());
            }
            return desktopCommands.handle(command);
        });
    QString controlError;
    if (!control->listen(VeltoPaths::agentSocket(), &controlError)) {
        return fail("velto", "agent control socket " + VeltoPaths::agentSocket().toStdString() +
                                 ": " + controlError.toStdString());
    }

    // As the window's delegate does at launch: a first device report, then the connections.
    observed->refreshDeviceState();
    startConnections(QPointer<Agent>(observed));
    const int status = application.exec();
    // No command may reach the Agent once it is going.
    control.reset();
    // A running Shortcut ends with the agent, with whatever it started; the command waiting for
    // it then ends during the drain below.
    backend->endProcesses();
    agent.reset();
    ProgramStart::drain(*backend);
    return status;
}

// ---- local API ------------------------------------------------------------------------------

struct Endpoint {
    quint16 port = 0;
    std::string token;
};

// The token from the keychain the agent on this platform uses: the running simulated Mac's, or
// the desktop's Secret Service. Read through the same store the agent uses.
std::optional<std::string> readLocalToken(const QString& platform, std::string& error) {
    try {
        if (platform == QLatin1String("linux")) {
            SecretServiceKeychain keychain;
            return KeychainStore(keychain, agentService, false).read(KeychainStore::localAPIToken);
        }
        const SimControlClient::Outcome outcome = SimControlClient::run(
            VeltoPaths::simulatorSocket(), {JSON(JSON::Object{{"cmd", JSON("state")}})});
        if (!outcome.ok()) {
            error = outcome.error;
            return std::nullopt;
        }
        const JSON* state = outcome.answers.front().find("state");
        const JSON* keychain = state != nullptr ? state->find("keychain") : nullptr;
        const JSON* items = keychain != nullptr ? keychain->find("items") : nullptr;
        KeychainSnapshot snapshot(items != nullptr ? *items : JSON(JSON::Array{}));
        return KeychainStore(snapshot, agentService, false).read(KeychainStore::localAPIToken);
    } catch (const std::exception& failure) {
        error = "cannot read the local API token: " + describe(failure);
        return std::nullopt;
    }
}

// The port from the user defaults and the token from the platform's keychain. Empty optional with
// `error` set when either is missing.
std::optional<Endpoint> readEndpoint(const QString& platform, std::string& error) {
    const SettingsUserDefaults defaults(SettingsUserDefaults::standardFilePath());
    const std::optional<std::int64_t> port = defaults.integerValue("local-port");
    if (!port || *port < 1 || *port > 65535) {
        error = "no loopback port has been chosen yet; start the agent first: 'velto' (with its "
                "window) or 'velto --headless'";
        return std::nullopt;
    }
    const std::optional<std::string> token = readLocalToken(platform, error);
    if (!error.empty()) {
        return std::nullopt;
    }
    if (!token || token->empty()) {
        error = "the agent has not created its local API token yet";
        return std::nullopt;
    }
    return Endpoint{static_cast<quint16>(*port), *token};
}

int runLocalApi(const CommandLine& line, int& argc, char** argv) {
    QCoreApplication application(argc, argv);
    std::string error;
    const std::optional<Endpoint> endpoint = readEndpoint(line.platform, error);
    if (!endpoint) {
        return fail("velto local-api", error);
    }
    printJSON(line,
              JSON(JSON::Object{{"port", JSON(endpoint->port)}, {"token", JSON(endpoint->token)}})
                  .data());
    return 0;
}

// The actions as the contract document beside the program describes them; absent, with the
// reason on standard error, when it cannot be read.
std::optional<ActionCatalog> catalog(const std::string& prefix) {
    const QString path = Agent::schemaBeside(QCoreApplication::applicationDirPath());
    try {
        return ActionCatalog::load(path);
    } catch (const std::exception& error) {
        printLine(stderr, prefix + ": cannot read the actions from " + path.toStdString() + ": " +
                              describe(error));
        return std::nullopt;
    }
}

// The agent's sentence for desktop control that is off points at its window, which a headless
// agent does not have: the hint names what this agent offers, as its control socket tells.
void explainDesktopRefusal(const std::string& code) {
    if (code != "desktop_permission_required" && code != "desktop_app_not_allowed") {
        return;
    }
    const ControlSocketClient::Outcome status = ControlSocketClient::run(
        VeltoPaths::agentSocket(), {JSON(JSON::Object{{"cmd", JSON("desktop_status")}})},
        {"the agent", "no agent is running"}, std::chrono::seconds(2));
    printLine(stderr, "velto call: desktop control is not on for this application. " +
                          DesktopCommand::enableHint(status.ok() ? status.answers.back() : JSON()));
}

// What a person needs beside a refusal: the field that was wrong and what it must be, or the
// action a mistyped name was meant to be. The agent's own answer stays as it was.
void explainRefusal(const CommandLine& line, const std::string& body) {
    std::string code;
    try {
        const JSON answer = JSON::parse(body);
        const JSON* error = answer.find("error");
        const std::string* text = error != nullptr ? error->stringMember("code") : nullptr;
        code = text != nullptr ? *text : std::string();
    } catch (const std::exception&) {
        return;
    }
    if (code.rfind("desktop_", 0) == 0) {
        explainDesktopRefusal(code);
        return;
    }
    const std::string action = *line.request.stringMember("action");
    const JSON& params = *line.request.find("params");
    const std::optional<ActionCatalog> actions = catalog("velto call");
    if (!actions) {
        return;
    }
    if (code == "action_unsupported") {
        const std::optional<std::string> meant = actions->nearest(action);
        printLine(stderr, "velto call: there is no action '" + action + "'" +
                              (meant ? "; did you mean '" + *meant + "'?" : std::string()) +
                              " ('velto help call' lists the actions)");
        return;
    }
    if (const std::optional<std::string> fault = actions->fault(action, params)) {
        printLine(stderr, "velto call: " + *fault + " (see 'velto help call')");
    }
}

int runCall(const CommandLine& line, int& argc, char** argv) {
    QCoreApplication application(argc, argv);
    std::string error;
    const std::optional<Endpoint> endpoint = readEndpoint(line.platform, error);
    if (!endpoint) {
        return fail("velto call", error);
    }
    const LocalCommandClient::Reply reply =
        LocalCommandClient::post(endpoint->port, endpoint->token, line.request.data());
    if (reply.status < 0) {
        return fail("velto call", reply.error);
    }
    printJSON(line, reply.body);
    if (reply.status != 200) {
        explainRefusal(line, reply.body);
        return 1;
    }
    return 0;
}

// ---- mcp ------------------------------------------------------------------------------------

int runMcp(const CommandLine& line, int& argc, char** argv) {
    QCoreApplication application(argc, argv);
    // Answers go to a pipe the assistant may close at any time: a failed write is seen, not fatal.
    std::signal(SIGPIPE, SIG_IGN);
    const QString schema = Agent::schemaBeside(QCoreApplication::applicationDirPath());
    std::optional<McpToolCatalog> catalog;
    try {
        catalog = McpToolCatalog::load(schema);
    } catch (const std::exception& error) {
        return fail("velto mcp", "cannot read the actions from " + schema.toStdString() + ": " +
                                     describe(error));
    }
    const QString platform = line.platform;
    LoopbackToolCaller caller(
        [platform](std::string& error) -> std::optional<LoopbackToolCaller::Endpoint> {
            const std::optional<Endpoint> endpoint = readEndpoint(platform, error);
            if (!endpoint) {
                return std::nullopt;
            }
            return LoopbackToolCaller::Endpoint{endpoint->port, endpoint->token};
        },
        [] {
            const ControlSocketClient::Outcome answer = ControlSocketClient::run(
                VeltoPaths::agentSocket(), {CapabilityQuery::request()},
                {"the agent", "no agent is running"}, std::chrono::seconds(2));
            return answer.ok() ? CapabilityQuery::actions(answer.answers.back()) : std::nullopt;
        },
        std::filesystem::path(VeltoPaths::dataDirectory().toStdString()) / "commands.jsonl",
        mcpCallLimit);
    McpServer::Options options;
    options.version = VELTO_VERSION;
    McpServer server(std::move(*catalog), caller, options);
    McpStdioServer stdio(server, STDIN_FILENO, STDOUT_FILENO, options.maxMessageBytes,
                         [] { QCoreApplication::quit(); });
    std::fprintf(stderr, "velto mcp: serving on standard input and output\n");
    return application.exec();
}

// ---- sim ------------------------------------------------------------------------------------

int runSim(const CommandLine& line, int& argc, char** argv) {
    QCoreApplication application(argc, argv);
    const SimControlClient::Outcome outcome =
        SimControlClient::run(VeltoPaths::simulatorSocket(), line.simCommands);
    if (line.simPrints == "*" && !outcome.answers.empty()) {
        printJSON(line, outcome.answers.back().data());
    }
    if (!outcome.ok()) {
        return fail("velto sim", outcome.error);
    }
    if (!line.simPrints.empty() && line.simPrints != "*") {
        if (const JSON* member = outcome.answers.back().find(line.simPrints)) {
            printJSON(line, member->data());
        }
    }
    return 0;
}

} // namespace

int VeltoProgram::run(const CommandLine& line, char* programName) {
    // Qt reads options of its own from the arguments (a GUI application takes "--platform" as
    // its display plugin), and ours are parsed already: Qt sees the program name only.
    int argc = 1;
    char* argv[] = {programName, nullptr};
    const bool agent =
        line.mode == CommandLine::Mode::Headless || line.mode == CommandLine::Mode::Window;
    if (line.mode != CommandLine::Mode::Help && line.mode != CommandLine::Mode::Version &&
        line.mode != CommandLine::Mode::Completion &&
        ProgramStart::descriptorsRefused(agent ? ProgramStart::agentDescriptors
                                               : ProgramStart::clientDescriptors)) {
        return 1;
    }
    switch (line.mode) {
    case CommandLine::Mode::Help: {
        std::fputs(line.helpText.toUtf8().constData(), stdout);
        if (line.listActions) {
            QCoreApplication application(argc, argv);
            const std::optional<ActionCatalog> actions = catalog("velto help call");
            if (!actions) {
                return 1;
            }
            std::fputs("\nActions (and their PARAMS_JSON members):\n", stdout);
            std::fputs(actions->describe().c_str(), stdout);
        }
        return 0;
    }
    case CommandLine::Mode::Completion: {
        QCoreApplication application(argc, argv);
        // Without the document the script still completes everything but the action names.
        const std::optional<ActionCatalog> actions = catalog("velto completion");
        std::fputs(ShellCompletion::script(line.shell.toStdString(),
                                           actions ? actions->names() : std::vector<std::string>{})
                       .c_str(),
                   stdout);
        return 0;
    }
    case CommandLine::Mode::Version:
        std::fputs(CommandLine::versionText(QStringLiteral(VELTO_VERSION)).toUtf8().constData(),
                   stdout);
        return 0;
    case CommandLine::Mode::Headless:
        return runHeadless(line, argc, argv);
    case CommandLine::Mode::Window:
        return WindowProgram::run(line, argc, argv);
    case CommandLine::Mode::LocalApi:
        return runLocalApi(line, argc, argv);
    case CommandLine::Mode::Call:
        return runCall(line, argc, argv);
    case CommandLine::Mode::Sim:
        return runSim(line, argc, argv);
    case CommandLine::Mode::Mcp:
        return runMcp(line, argc, argv);
    case CommandLine::Mode::Desktop: {
        QCoreApplication application(argc, argv);
        return line.desktop.run(VeltoPaths::agentSocket(), std::cin, std::cout, std::cerr);
    }
    }
    return 2;
}

} // namespace corvane
