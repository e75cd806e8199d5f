#pragma once

#include "core/JSON.h"
#include "velto/DesktopCommand.h"

#include <QString>
#include <QStringList>

#include <array>
#include <string_view>
#include <vector>

namespace corvane {

// What one run of `velto` was asked to do, read from its arguments (without the program name).
// parse() throws CommandLineError for anything it does not accept; nothing is half-parsed.
struct CommandLine {
    enum class Mode {
        Help,
        Version,
        Headless,
        Window,
        LocalApi,
        Call,
        Sim,
        Desktop,
        Completion,
        Mcp
    };

    // An option and whether a value follows it ("--name value" or "--name=value").
    struct Option {
        std::string_view name;
        bool takesValue;
    };
    // One `velto sim` command: its arguments as the usage shows them, the words its first argument
    // may be (space-separated; empty when it is free), and what it does.
    struct SimVerb {
        std::string_view name;
        std::string_view arguments;
        std::string_view choices;
        std::string_view summary;
    };

    // The words the parser accepts, which the help and the shell completion show as well.
    static constexpr std::array<std::string_view, 7> commands{
        "call", "local-api", "sim", "desktop", "mcp", "help", "completion"};
    static constexpr std::array<Option, 7> agentOptions{{{"--headless", false},
                                                         {"--platform", true},
                                                         {"--scenario", true},
                                                         {"--relay", true},
                                                         {"--relay-ca", true},
                                                         {"--help", false},
                                                         {"--version", false}}};
    // call, local-api and sim.
    static constexpr std::array<Option, 3> clientOptions{
        {{"--platform", true}, {"--json", false}, {"--help", false}}};
    // mcp.
    static constexpr std::array<Option, 2> mcpOptions{{{"--platform", true}, {"--help", false}}};
    static constexpr std::array<std::string_view, 2> shells{"bash", "zsh"};
    static constexpr std::array<SimVerb, 18> simVerbs{{
        {"screen", "locked|unlocked|inactive|unknown", "locked unlocked inactive unknown",
         "the lock state the agent reads"},
        {"sleep", "", "", "the Mac goes to sleep"},
        {"wake", "", "", "the Mac wakes"},
        {"session", "active|inactive", "active inactive",
         "the user session becomes active or inactive"},
        {"volume", "0-100", "", "the output volume"},
        {"mute", "on|off", "on off", "mutes or unmutes the output"},
        {"battery", "0-100 [charging|discharging]", "", "one battery with that charge"},
        {"launch", "BUNDLE_ID", "", "opens an installed application (prints its pid)"},
        {"quit", "BUNDLE_ID|PID", "", "the person quits an application"},
        {"frontmost", "BUNDLE_ID|PID", "", "brings an application to the front"},
        {"set", "PATH VALUE_JSON", "", "sets one scenario value (PATH like audio.volume)"},
        {"patch", "PATCH_JSON", "", "merges a JSON patch into the scenario settings"},
        {"ax", "EFFECTS_JSON", "", "runs element effects, e.g. '[{\"toggle\": \"doc.bold\"}]'"},
        {"state", "", "", "prints the simulated Mac's state"},
        {"events", "", "", "prints the simulated Mac's event record"},
        {"clear-events", "", "", "empties the event record"},
        {"ping", "", "", "checks that the simulated Mac answers"},
        {"send", "COMMAND_JSON", "", "sends one raw control command, prints the answer"},
    }};

    Mode mode = Mode::Help;
    // Mode::Help and Mode::Version: the text to print on standard output (exit status 0).
    QString helpText;
    // Mode::Help for `call`: the program adds the actions from the contract document.
    bool listActions = false;
    // Mode::Call, LocalApi and Sim: print the answer's exact bytes instead of JSON for a person.
    bool json = false;
    // Mode::Completion: "bash" or "zsh".
    QString shell;
    // The backend whose state (defaults, vault, control socket) is used (BackendFactory::names);
    // when not given, the program picks BackendFactory::defaultName.
    QString platform = QStringLiteral("sim");
    bool platformGiven = false;
    // Mode::Headless and Mode::Window: the scenario file; empty means the default scenario beside
    // the program.
    QString scenario;
    // Mode::Headless: the relay origin to store as the "relay" default (checked by the program),
    // and a PEM file of certificate authorities to trust for it; empty when not given.
    QString relay;
    QString relayCA;
    // Mode::Call: the request body, {"action": ..., "params": ...}.
    JSON request;
    // Mode::Sim: the control commands to send, in order; each must succeed before the next.
    std::vector<JSON> simCommands;
    // Mode::Sim: the answer's member to print instead of "ok" ("state", "events"), or empty.
    std::string simPrints;
    // Mode::Desktop: what to do with the running agent's desktop control.
    DesktopCommand desktop;

    static CommandLine parse(const QStringList& arguments);

    // "velto VERSION" and a line feed; `version` is the program's version.
    static QString versionText(const QString& version);
    static QString mainHelp();
    static QString headlessHelp();
    static QString localApiHelp();
    static QString callHelp();
    static QString simHelp();
    static QString completionHelp();
    static QString mcpHelp();
};

} // namespace corvane
