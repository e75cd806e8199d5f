#include "velto/CommandLine.h"

#include "velto/BackendFactory.h"
#include "velto/CommandLineError.h"
#include <algorithm>

#include <charconv>
#include <optional>

namespace corvane {

namespace {

std::string text(const QString& s) {
    return s.toStdString();
}

[[noreturn]] void refuse(const QString& message) {
    throw CommandLineError("velto: " + text(message) + " (see velto --help)");
}

[[noreturn]] void refuseSim(const QString& message) {
    throw CommandLineError("velto sim: " + text(message) + " (see velto sim --help)");
}

JSON parseJSON(const QString& argument, const QString& what) {
    try {
        return JSON::parse(text(argument));
    } catch (const std::exception&) {
        refuse(what + QStringLiteral(" is not valid JSON: ") + argument);
    }
}

// A whole number in [low, high] written in decimal, nothing else.
std::optional<std::int64_t> wholeNumber(const QString& argument, std::int64_t low,
                                        std::int64_t high) {
    const std::string digits = text(argument);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

JSON command(std::string name) {
    return JSON(JSON::Object{{"cmd", JSON(std::move(name))}});
}

JSON command(std::string name, JSON::Object members) {
    members.emplace("cmd", JSON(std::move(name)));
    return JSON(std::move(members));
}

// The console settings that make the lock state readable again (registry present, the session on
// the console), merged into whatever else the scenario holds.
JSON consolePatch(bool registryAvailable, std::optional<bool> sessionOnConsole) {
    JSON::Object console{{"registry_available", JSON(registryAvailable)}};
    if (sessionOnConsole) {
        console.emplace("session",
                        JSON(JSON::Object{{"kCGSSessionOnConsoleKey", JSON(*sessionOnConsole)}}));
    }
    return command("patch", {{"patch", JSON(JSON::Object{{"console", JSON(std::move(console))}})}});
}

// An application named by process id (all digits) or by bundle identifier.
JSON::Object applicationTarget(const QString& argument) {
    if (const auto pid = wholeNumber(argument, 0, 0x7fffffff)) {
        return {{"pid", JSON(*pid)}};
    }
    return {{"bundle_id", JSON(text(argument))}};
}

struct SimRequest {
    std::vector<JSON> commands;
    std::string prints;
};

const CommandLine::SimVerb* simVerb(const QString& name) {
    for (const CommandLine::SimVerb& verb : CommandLine::simVerbs) {
        if (name == QLatin1String(verb.name.data(), qsizetype(verb.name.size()))) {
            return &verb;
        }
    }
    return nullptr;
}

SimRequest simRequest(const QStringList& words) {
    if (words.isEmpty()) {
        refuseSim(QStringLiteral("missing command"));
    }
    const QString& name = words.front();
    const QStringList rest = words.mid(1);
    const CommandLine::SimVerb* verb = simVerb(name);
    if (verb == nullptr) {
        refuseSim(QStringLiteral("unknown command '") + name + QStringLiteral("'"));
    }
    const QString usage =
        QStringLiteral("usage: velto sim ") + name +
        (verb->arguments.empty()
             ? QString()
             : u' ' + QString::fromUtf8(verb->arguments.data(), qsizetype(verb->arguments.size())));
    const auto expect = [&](qsizetype low, qsizetype high) {
        if (rest.size() < low || rest.size() > high) {
            refuseSim(usage);
        }
    };
    // The first argument, when the table lists the words it may be.
    if (!verb->choices.empty() && !rest.isEmpty() &&
        !QString::fromUtf8(verb->choices.data(), qsizetype(verb->choices.size()))
             .split(u' ')
             .contains(rest.front())) {
        refuseSim(usage);
    }
    const auto choice = [&](const QString& value, std::initializer_list<const char*> allowed) {
        for (const char* option : allowed) {
            if (value == QLatin1String(option)) {
                return;
            }
        }
        refuseSim(usage);
    };

    if (name == QLatin1String("screen")) {
        expect(1, 1);
        const QString& state = rest.front();
        if (state == QLatin1String("locked")) {
            return {{consolePatch(true, true), command("lock")}, {}};
        }
        if (state == QLatin1String("unlocked")) {
            return {{consolePatch(true, true), command("unlock")}, {}};
        }
        if (state == QLatin1String("inactive")) {
            return {{consolePatch(true, false)}, {}};
        }
        return {{consolePatch(false, std::nullopt)}, {}};
    }
    if (name == QLatin1String("sleep") || name == QLatin1String("wake") ||
        name == QLatin1String("ping") || name == QLatin1String("clear-events")) {
        expect(0, 0);
        std::string cmd = text(name);
        std::replace(cmd.begin(), cmd.end(), '-', '_');
        return {{command(cmd)}, {}};
    }
    if (name == QLatin1String("state") || name == QLatin1String("events")) {
        expect(0, 0);
        return {{command(text(name))}, text(name)};
    }
    if (name == QLatin1String("session")) {
        expect(1, 1);
        return {{command("session", {{"active", JSON(rest.front() == QLatin1String("active"))}})},
                {}};
    }
    if (name == QLatin1String("volume")) {
        expect(1, 1);
        const auto level = wholeNumber(rest.front(), 0, 100);
        if (!level) {
            refuseSim(usage);
        }
        return {{command("volume", {{"level", JSON(*level)}})}, {}};
    }
    if (name == QLatin1String("mute")) {
        expect(1, 1);
        return {{command("mute", {{"muted", JSON(rest.front() == QLatin1String("on"))}})}, {}};
    }
    if (name == QLatin1String("battery")) {
        expect(1, 2);
        const auto percent = wholeNumber(rest.front(), 0, 100);
        if (!percent) {
            refuseSim(usage);
        }
        bool charging = false;
        if (rest.size() == 2) {
            choice(rest[1], {"charging", "discharging"});
            charging = rest[1] == QLatin1String("charging");
        }
        return {{command("battery", {{"percent", JSON(*percent)}, {"charging", JSON(charging)}})},
                {}};
    }
    if (name == QLatin1String("launch")) {
        expect(1, 1);
        return {{command("launch",
                         {{"bundle_id", JSON(text(rest.front()))}, {"activate", JSON(true)}})},
                "pid"};
    }
    if (name == QLatin1String("quit") || name == QLatin1String("frontmost")) {
        expect(1, 1);
        return {{command(text(name), applicationTarget(rest.front()))}, {}};
    }
    if (name == QLatin1String("set")) {
        expect(2, 2);
        return {{command("set", {{"path", JSON(text(rest[0]))},
                                 {"value", parseJSON(rest[1], QStringLiteral("VALUE_JSON"))}})},
                {}};
    }
    if (name == QLatin1String("patch")) {
        expect(1, 1);
        return {{command("patch", {{"patch", parseJSON(rest[0], QStringLiteral("PATCH_JSON"))}})},
                {}};
    }
    if (name == QLatin1String("ax")) {
        expect(1, 1);
        return {{command("ax", {{"does", parseJSON(rest[0], QStringLiteral("EFFECTS_JSON"))}})},
                {}};
    }
    if (name == QLatin1String("send")) {
        expect(1, 1);
        JSON raw = parseJSON(rest[0], QStringLiteral("COMMAND_JSON"));
        if (!raw.isObject()) {
            refuseSim(QStringLiteral("COMMAND_JSON must be a JSON object"));
        }
        return {{std::move(raw)}, "*"};
    }
    refuseSim(QStringLiteral("unknown command '") + name + QStringLiteral("'"));
}

bool isHelp(const QString& argument) {
    return argument == QLatin1String("--help") || argument == QLatin1String("-h");
}

// Splits "--name=value" and "--name value"; the value of an option may not be another option.
// Positional arguments are collected in order; "--" ends the options. Only the options in
// `allowed` are accepted.
struct Scanned {
    std::optional<QString> platform;
    std::optional<QString> scenario;
    std::optional<QString> relay;
    std::optional<QString> relayCA;
    bool headless = false;
    bool help = false;
    bool version = false;
    bool json = false;
    QStringList positional;
};

template <std::size_t N>
const CommandLine::Option* findOption(const std::array<CommandLine::Option, N>& allowed,
                                      const QString& name) {
    for (const CommandLine::Option& option : allowed) {
        if (name == QLatin1String(option.name.data(), qsizetype(option.name.size()))) {
            return &option;
        }
    }
    return nullptr;
}

template <std::size_t N>
Scanned scan(const QStringList& arguments, const std::array<CommandLine::Option, N>& allowed) {
    Scanned out;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (optionsEnded || !argument.startsWith(u'-') || argument == QLatin1String("-")) {
            out.positional.append(argument);
            continue;
        }
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (isHelp(argument)) {
            out.help = true;
            continue;
        }
        const qsizetype equals = argument.indexOf(u'=');
        const QString name = equals < 0 ? argument : argument.left(equals);
        const CommandLine::Option* option = findOption(allowed, name);
        if (option == nullptr || (!option->takesValue && equals >= 0)) {
            refuse(QStringLiteral("unknown option '") + name + QStringLiteral("'"));
        }
        if (!option->takesValue) {
            bool& flag = name == QLatin1String("--headless") ? out.headless
                         : name == QLatin1String("--json")   ? out.json
                                                             : out.version;
            flag = true;
            continue;
        }
        QString value;
        if (equals >= 0) {
            value = argument.mid(equals + 1);
        } else if (i + 1 < arguments.size() && !arguments[i + 1].startsWith(QLatin1String("--"))) {
            value = arguments[++i];
        } else {
            refuse(QStringLiteral("option '") + name + QStringLiteral("' needs a value"));
        }
        if (value.isEmpty()) {
            refuse(QStringLiteral("option '") + name + QStringLiteral("' needs a value"));
        }
        std::optional<QString>& slot = name == QLatin1String("--platform")   ? out.platform
                                       : name == QLatin1String("--relay")    ? out.relay
                                       : name == QLatin1String("--relay-ca") ? out.relayCA
                                                                             : out.scenario;
        if (slot) {
            refuse(QStringLiteral("option '") + name + QStringLiteral("' given twice"));
        }
        slot = value;
    }
    return out;
}

void applyPlatform(CommandLine& line, const Scanned& scanned) {
    if (!scanned.platform) {
        return;
    }
    if (!BackendFactory::knows(*scanned.platform)) {
        refuse(QStringLiteral("unknown platform '") + *scanned.platform +
               QStringLiteral("' (this build has: ") + BackendFactory::list() + u')');
    }
    line.platform = *scanned.platform;
    line.platformGiven = true;
}

CommandLine help(QString text) {
    CommandLine line;
    line.mode = CommandLine::Mode::Help;
    line.helpText = std::move(text);
    return line;
}

} // namespace

CommandLine CommandLine::parse(const QStringList& arguments) {
    const QString first = arguments.isEmpty() ? QString() : arguments.front();
    const QStringList rest = arguments.mid(1);

    if (first == QLatin1String("help")) {
        // "velto help" and "velto help COMMAND", as "--help" gives them.
        if (rest.size() > 1) {
            refuse(QStringLiteral("usage: velto help [COMMAND]"));
        }
        if (rest.isEmpty()) {
            return help(mainHelp());
        }
        const QString& topic = rest.front();
        if (topic == QLatin1String("sim")) {
            return help(simHelp());
        }
        if (topic == QLatin1String("call")) {
            CommandLine line = help(callHelp());
            line.listActions = true;
            return line;
        }
        if (topic == QLatin1String("completion")) {
            return help(completionHelp());
        }
        if (topic == QLatin1String("desktop")) {
            return help(DesktopCommand::help());
        }
        if (topic == QLatin1String("local-api")) {
            return help(localApiHelp());
        }
        if (topic == QLatin1String("mcp")) {
            return help(mcpHelp());
        }
        if (topic == QLatin1String("headless") || topic == QLatin1String("--headless")) {
            return help(headlessHelp());
        }
        refuse(QStringLiteral("no help for '") + topic + QStringLiteral("'"));
    }
    if (first == QLatin1String("sim")) {
        // Everything after the command word belongs to the command, whose JSON arguments may
        // start with "-"; before it come only a help request and the platform, as for every
        // other command.
        QStringList words = rest;
        CommandLine line;
        Scanned leading;
        while (!words.isEmpty() && words.front().startsWith(u'-')) {
            const QString option = words.front();
            if (isHelp(option)) {
                return help(simHelp());
            }
            words.pop_front();
            if (option == QLatin1String("--json")) {
                line.json = true;
                continue;
            }
            const bool attached = option.startsWith(QLatin1String("--platform="));
            if (option != QLatin1String("--platform") && !attached) {
                refuseSim(QStringLiteral("unknown option '") + option + QStringLiteral("'"));
            }
            if (leading.platform) {
                refuse(QStringLiteral("option '--platform' given twice"));
            }
            if (attached) {
                leading.platform = option.mid(qsizetype(sizeof("--platform=") - 1));
            } else if (!words.isEmpty()) {
                leading.platform = words.front();
                words.pop_front();
            }
            if (!leading.platform || leading.platform->isEmpty()) {
                refuse(QStringLiteral("option '--platform' needs a value"));
            }
        }
        applyPlatform(line, leading);
        SimRequest request = simRequest(words);
        line.mode = Mode::Sim;
        line.simCommands = std::move(request.commands);
        line.simPrints = std::move(request.prints);
        return line;
    }
    if (first == QLatin1String("desktop")) {
        if (DesktopCommand::wantsHelp(rest)) {
            return help(DesktopCommand::help());
        }
        CommandLine line;
        line.mode = Mode::Desktop;
        line.desktop = DesktopCommand::parse(rest);
        return line;
    }
    if (first == QLatin1String("local-api")) {
        const Scanned scanned = scan(rest, clientOptions);
        if (scanned.help) {
            return help(localApiHelp());
        }
        if (!scanned.positional.isEmpty()) {
            refuse(QStringLiteral("unexpected argument '") + scanned.positional.front() +
                   QStringLiteral("'"));
        }
        CommandLine line;
        line.mode = Mode::LocalApi;
        line.json = scanned.json;
        applyPlatform(line, scanned);
        return line;
    }
    if (first == QLatin1String("mcp")) {
        const Scanned scanned = scan(rest, mcpOptions);
        if (scanned.help) {
            return help(mcpHelp());
        }
        if (!scanned.positional.isEmpty()) {
            refuse(QStringLiteral("unexpected argument '") + scanned.positional.front() +
                   QStringLiteral("'"));
        }
        CommandLine line;
        line.mode = Mode::Mcp;
        applyPlatform(line, scanned);
        return line;
    }
    if (first == QLatin1String("call")) {
        const Scanned scanned = scan(rest, clientOptions);
        if (scanned.help) {
            CommandLine line = help(callHelp());
            line.listActions = true;
            return line;
        }
        if (scanned.positional.isEmpty() || scanned.positional.size() > 2) {
            refuse(QStringLiteral("usage: velto call ACTION [PARAMS_JSON]"));
        }
        if (scanned.positional.front().isEmpty()) {
            refuse(QStringLiteral("ACTION must not be empty"));
        }
        CommandLine line;
        line.mode = Mode::Call;
        line.json = scanned.json;
        applyPlatform(line, scanned);
        JSON params = scanned.positional.size() == 2
                          ? parseJSON(scanned.positional[1], QStringLiteral("PARAMS_JSON"))
                          : JSON(JSON::Object{});
        line.request = JSON(JSON::Object{{"action", JSON(text(scanned.positional.front()))},
                                         {"params", std::move(params)}});
        return line;
    }

    if (first == QLatin1String("completion")) {
        if (rest.contains(QStringLiteral("--help")) || rest.contains(QStringLiteral("-h"))) {
            return help(completionHelp());
        }
        const bool known =
            rest.size() == 1 &&
            std::any_of(shells.begin(), shells.end(), [&](std::string_view shell) {
                return rest.front() == QLatin1String(shell.data(), qsizetype(shell.size()));
            });
        if (!known) {
            refuse(QStringLiteral("usage: velto completion bash|zsh"));
        }
        CommandLine line;
        line.mode = Mode::Completion;
        line.shell = rest.front();
        return line;
    }

    // No subcommand: the agent itself, or help.
    const Scanned scanned = scan(arguments, agentOptions);
    if (!scanned.positional.isEmpty()) {
        refuse(QStringLiteral("unknown command '") + scanned.positional.front() +
               QStringLiteral("'"));
    }
    if (scanned.help) {
        return help(scanned.headless ? headlessHelp() : mainHelp());
    }
    if (scanned.version) {
        CommandLine line;
        line.mode = Mode::Version;
        return line;
    }
    // Without --headless the same agent runs with its window and tray icon.
    CommandLine line;
    line.mode = scanned.headless ? Mode::Headless : Mode::Window;
    applyPlatform(line, scanned);
    line.scenario = scanned.scenario.value_or(QString());
    line.relay = scanned.relay.value_or(QString());
    line.relayCA = scanned.relayCA.value_or(QString());
    if (!line.relayCA.isEmpty() && line.relay.isEmpty()) {
        refuse(QStringLiteral("--relay-ca goes with --relay"));
    }
    return line;
}

QString CommandLine::versionText(const QString& version) {
    return QStringLiteral("velto ") + version + u'\n';
}

QString CommandLine::mainHelp() {
    return QStringLiteral(
        "Usage: velto --headless [--platform sim] [--scenario FILE] [--relay URL [--relay-ca "
        "FILE]]\n"
        "       velto [--platform sim] [--scenario FILE] [--relay URL [--relay-ca FILE]]\n"
        "       velto local-api [--platform sim] [--json]\n"
        "       velto call [--platform sim] [--json] ACTION [PARAMS_JSON]\n"
        "       velto sim [--platform sim] [--json] COMMAND [ARGUMENTS]\n"
        "       velto desktop status|enable [--yes]|disable|grant BUNDLE_ID...\n"
        "       velto mcp [--platform sim]\n"
        "       velto completion bash|zsh\n"
        "       velto help [COMMAND] | velto --version\n"
        "\n"
        "The Velto agent and its command line.\n"
        "\n"
        "Commands:\n"
        "  (none)       run the agent with its window and tray icon\n"
        "  --headless   run the agent without a window until SIGINT or SIGTERM\n"
        "  local-api    print the loopback API's port and bearer token as JSON\n"
        "  call         send one command through the loopback API and print the answer\n"
        "               ('velto help call' lists the actions and their parameters)\n"
        "  sim          change the running simulated Mac (screen lock, sleep, apps...)\n"
        "  desktop      desktop control of the running agent: status, consent, grants\n"
        "  mcp          serve the actions to an AI assistant (MCP, standard input/output)\n"
        "  completion   print the shell completion script for bash or zsh\n"
        "\n"
        "Options:\n"
        "  --platform sim   the backend whose state is used: the simulated Mac (the default in\n"
        "                   the build tree and outside a desktop session)\n"
        "  --platform linux this Linux desktop (logind, UPower, sound server, MPRIS, keyring;\n"
        "                   the default of the installed program in a desktop session)\n"
        "  --json           (local-api, call, sim) print answers exactly as the agent or the\n"
        "                   simulated Mac sent them, for scripts; without it JSON is indented\n"
        "                   for reading and may differ in escapes\n"
        "  -h, --help       show help; 'velto COMMAND --help' shows a command's help\n"
        "  --version        print the program's version\n"
        "\n"
        "Files: private data under $XDG_DATA_HOME/Corvane (default ~/.local/share/Corvane),\n"
        "user defaults under $XDG_CONFIG_HOME/Corvane (default ~/.config/Corvane).\n");
}

QString CommandLine::headlessHelp() {
    return QStringLiteral(
        "Usage: velto --headless [--platform sim] [--scenario FILE] [--relay URL [--relay-ca "
        "FILE]]\n"
        "\n"
        "Runs the agent without a window until SIGINT or SIGTERM, then exits 0. Each change of\n"
        "the agent's status and last command is printed on standard error. Alerts that would ask\n"
        "a person take their second button (Cancel).\n"
        "\n"
        "Options:\n"
        "  --platform sim    run on the simulated Mac (the default)\n"
        "  --platform linux  run on this Linux desktop\n"
        "  --scenario FILE   the simulated Mac's scenario (default: scenarios/default.json\n"
        "                    beside the program)\n"
        "  --relay URL       the relay to pair with and connect to (https://HOST[:PORT], kept\n"
        "                    as the \"relay\" default); an unpaired agent starts pairing at once\n"
        "                    and prints the pairing link instead of opening a browser\n"
        "  --relay-ca FILE   also trust the certificate authorities in this PEM file for the\n"
        "                    relay (a self-hosted relay with its own certificate)\n"
        "\n"
        "The simulated Mac keeps its state under $XDG_DATA_HOME/Corvane/sim and listens for\n"
        "'velto sim' on the socket $XDG_DATA_HOME/Corvane/sim/control.sock.\n");
}

QString CommandLine::localApiHelp() {
    return QStringLiteral(
        "Usage: velto local-api [--platform sim] [--json]\n"
        "\n"
        "Prints {\"port\": N, \"token\": \"...\"}: the loopback API's port from the user\n"
        "defaults and its bearer token from the selected platform's keychain (the running\n"
        "simulated Mac's). Exits 1 when they cannot be read: start the agent first ('velto'\n"
        "with its window, or 'velto --headless').\n");
}

QString CommandLine::callHelp() {
    return QStringLiteral(
        "Usage: velto call [--platform sim] [--json] ACTION [PARAMS_JSON]\n"
        "\n"
        "Sends {\"action\": ACTION, \"params\": PARAMS_JSON} (default {}) to the running agent's\n"
        "loopback API (POST /v1/commands on 127.0.0.1) and prints the answer body, indented\n"
        "(--json: the exact bytes). Exits 0 when the agent answered 200, otherwise 1; a refused\n"
        "parameter or an unknown action is also explained on standard error.\n"
        "\n"
        "Examples:\n"
        "  velto call get_state\n"
        "  velto call set_volume '{\"level\": 30}'\n");
}

QString CommandLine::simHelp() {
    QString text = QStringLiteral(
        "Usage: velto sim [--platform sim] [--json] COMMAND [ARGUMENTS]\n"
        "\n"
        "Changes the simulated Mac of the running agent through its control socket\n"
        "($XDG_DATA_HOME/Corvane/sim/control.sock). The agent sees a change on its next read\n"
        "(the lock state within half a second). Exits 1 when the simulated Mac refuses. What\n"
        "it prints is indented JSON; --json prints the exact bytes.\n"
        "\n"
        "Commands:\n");
    constexpr qsizetype column = 40;
    for (const SimVerb& verb : simVerbs) {
        QString usage =
            QStringLiteral("  ") + QString::fromUtf8(verb.name.data(), qsizetype(verb.name.size()));
        if (!verb.arguments.empty()) {
            usage +=
                u' ' + QString::fromUtf8(verb.arguments.data(), qsizetype(verb.arguments.size()));
        }
        text += usage.leftJustified(column - 1) + u' ' +
                QString::fromUtf8(verb.summary.data(), qsizetype(verb.summary.size())) + u'\n';
    }
    return text;
}

QString CommandLine::mcpHelp() {
    return QStringLiteral(
        "Usage: velto mcp [--platform sim]\n"
        "\n"
        "Serves the running agent's actions as Model Context Protocol tools on standard input and\n"
        "output (one JSON-RPC message per line; logs go to standard error), for an AI assistant\n"
        "that starts it as a local tool. Each tool call goes to the agent's loopback API, found "
        "as\n"
        "'velto call' finds it, so the agent checks and logs it like any other command. Desktop\n"
        "control still needs the person's consent in Velto. Exits when standard input closes.\n");
}

QString CommandLine::completionHelp() {
    return QStringLiteral(
        "Usage: velto completion bash|zsh\n"
        "\n"
        "Prints the shell completion script for velto: commands, options, actions and 'sim'\n"
        "commands. The build also writes both to completions/ beside the program (velto.bash\n"
        "and _velto) for packages to install. To use one now:\n"
        "  bash:  source <(velto completion bash)\n"
        "  zsh:   source <(velto completion zsh)   (after compinit)\n");
}

} // namespace corvane
