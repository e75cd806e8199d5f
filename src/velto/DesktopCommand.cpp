#include "velto/DesktopCommand.h"

#include "actions/DesktopConsent.h"
#include "velto/CommandLineError.h"
#include "velto/ControlSocketClient.h"

#include <algorithm>
#include <istream>
#include <optional>
#include <ostream>

namespace corvane {

namespace {

[[noreturn]] void refuse(const std::string& message) {
    throw CommandLineError("velto desktop: " + message + " (see velto desktop --help)");
}

constexpr const char* usage =
    "usage: velto desktop status|enable [--yes]|disable|grant BUNDLE_ID...";

std::string lowered(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace

bool DesktopCommand::wantsHelp(const QStringList& words) {
    return words.contains(QStringLiteral("--help")) || words.contains(QStringLiteral("-h"));
}

DesktopCommand DesktopCommand::parse(const QStringList& words) {
    if (words.isEmpty()) {
        refuse(usage);
    }
    const std::string name = words.front().toStdString();
    const QStringList rest = words.mid(1);
    const auto verb = std::find(verbs.begin(), verbs.end(), name);
    if (verb == verbs.end()) {
        refuse("unknown command '" + name + "'; " + usage);
    }
    DesktopCommand command;
    command.action = static_cast<Action>(verb - verbs.begin());
    switch (command.action) {
    case Action::Status:
    case Action::Disable:
        if (!rest.isEmpty()) {
            refuse("unexpected argument '" + rest.front().toStdString() + "'");
        }
        break;
    case Action::Enable:
        for (const QString& word : rest) {
            if (word != QLatin1String("--yes") || command.yes) {
                refuse("unexpected argument '" + word.toStdString() + "'");
            }
            command.yes = true;
        }
        break;
    case Action::Grant:
        for (const QString& word : rest) {
            if (word.isEmpty() || word.startsWith(u'-')) {
                refuse("expected a bundle identifier, not '" + word.toStdString() + "'");
            }
            command.bundleIDs.push_back(word.toStdString());
        }
        if (command.bundleIDs.empty()) {
            refuse("usage: velto desktop grant BUNDLE_ID...");
        }
        break;
    }
    return command;
}

QString DesktopCommand::help() {
    return QStringLiteral(
        "Usage: velto desktop status\n"
        "       velto desktop enable [--yes]\n"
        "       velto desktop disable\n"
        "       velto desktop grant BUNDLE_ID...\n"
        "\n"
        "Desktop control of the running agent ('velto' or 'velto --headless'), for the person\n"
        "at this computer: it lets connected callers look at the front window and use it\n"
        "(desktop_observe, desktop_act). The commands reach the agent through its own control\n"
        "socket ($XDG_DATA_HOME/Corvane/agent.sock), which only this user can open; consent can\n"
        "be given here and in the agent's window, never remotely.\n"
        "\n"
        "Commands:\n"
        "  status          consent, granted applications and when the grant ends, permissions\n"
        "  enable          checks that the agent runs, shows what desktop control allows and\n"
        "                  asks before turning it on for every application (--yes: answer yes\n"
        "                  without asking)\n"
        "  disable         turns desktop control off and ends every grant\n"
        "  grant ID...     allows only these applications (1 to 10 bundle identifiers) for 15\n"
        "                  minutes, turning desktop-wide consent off\n"
        "\n"
        "Exits 0 when done, 1 when declined or refused or when no agent runs.\n");
}

JSON DesktopCommand::request() const {
    switch (action) {
    case Action::Status:
        return JSON(JSON::Object{{"cmd", JSON("desktop_status")}});
    case Action::Enable:
        return JSON(JSON::Object{{"cmd", JSON("desktop_enable")}});
    case Action::Disable:
        return JSON(JSON::Object{{"cmd", JSON("desktop_disable")}});
    case Action::Grant:
        break;
    }
    JSON::Array ids;
    for (const std::string& id : bundleIDs) {
        ids.emplace_back(id);
    }
    return JSON(JSON::Object{{"cmd", JSON("desktop_grant")}, {"bundle_ids", JSON(std::move(ids))}});
}

int DesktopCommand::run(const QString& socketPath, std::istream& in, std::ostream& out,
                        std::ostream& err) const {
    const ControlSocketClient::Peer agent{"the agent", "no agent is running"};
    const auto ask = [&](const JSON& command) -> std::optional<JSON> {
        const ControlSocketClient::Outcome outcome =
            ControlSocketClient::run(socketPath, {command}, agent);
        if (outcome.ok()) {
            return outcome.answers.back();
        }
        err << "velto desktop: " << outcome.error;
        const JSON* message =
            outcome.answers.empty() ? nullptr : outcome.answers.back().find("message");
        if (message != nullptr && message->string() != nullptr && !message->string()->empty()) {
            err << ": " << *message->string();
        }
        err << "\n";
        return std::nullopt;
    };
    if (action == Action::Enable) {
        // Consent is asked of a running agent only, and only while it is off.
        const std::optional<JSON> state = ask(DesktopCommand{}.request());
        if (!state) {
            return 1;
        }
        if (const JSON* consent = state->find("consent"); consent != nullptr && consent->isTrue()) {
            out << describe(*state);
            return 0;
        }
        out << DesktopConsent::title << "\n\n" << DesktopConsent::detail << "\n\n";
        if (!yes) {
            out << DesktopConsent::confirmButton << "? [y/N] " << std::flush;
            std::string answer;
            std::getline(in, answer);
            answer = lowered(answer);
            if (answer != "y" && answer != "yes") {
                out << "Desktop control stays off.\n";
                return 1;
            }
        }
    }
    const std::optional<JSON> state = ask(request());
    if (!state) {
        return 1;
    }
    out << describe(*state);
    return 0;
}

std::string DesktopCommand::describe(const JSON& state) {
    const auto text = [&](const char* key) {
        const std::string* s = state.stringMember(key);
        return s != nullptr ? *s : std::string("unknown");
    };
    std::string lines = text("status") + "\n";
    const JSON* consent = state.find("consent");
    lines +=
        std::string("Consent: ") + (consent != nullptr && consent->isTrue() ? "on" : "off") + "\n";
    const JSON* granted = state.find("granted");
    if (granted != nullptr && granted->isObject()) {
        std::string ids;
        if (const JSON* list = granted->find("bundle_ids"); list != nullptr && list->array()) {
            for (const JSON& id : *list->array()) {
                ids += (ids.empty() ? "" : ", ") + (id.string() != nullptr ? *id.string() : "");
            }
        }
        const JSON* seconds = granted->find("seconds_left");
        const std::string* until = granted->stringMember("expires_at");
        lines += "Granted: " + ids + " until " + (until != nullptr ? *until : "?") + " (" +
                 (seconds != nullptr && seconds->number() ? JSON(*seconds->number()).data()
                                                          : std::string("?")) +
                 " s left)\n";
    } else {
        lines += "Granted: none\n";
    }
    const JSON* permissions = state.find("permissions");
    for (const auto& [key, label] : {std::pair("accessibility", "Accessibility"),
                                     std::pair("screen_recording", "Screen recording")}) {
        const std::string* value =
            permissions != nullptr ? permissions->stringMember(key) : nullptr;
        lines += std::string(label) + ": " + (value != nullptr ? *value : "unknown") + "\n";
    }
    // The way back, in what this agent offers: the window has its own controls.
    const std::string* frontEnd = state.stringMember("front_end");
    const bool window = frontEnd != nullptr && *frontEnd == "window";
    if (consent != nullptr && consent->isTrue()) {
        lines += std::string("Turn it off with 'velto desktop disable'") +
                 (window ? " or from Velto's menu" : "") + ".\n";
    } else {
        lines += enableHint(state) + "\n";
    }
    return lines;
}

std::string DesktopCommand::enableHint(const JSON& state) {
    const std::string* frontEnd = state.stringMember("front_end");
    const bool window = frontEnd != nullptr && *frontEnd == "window";
    return std::string("Turn it on with 'velto desktop enable'") +
           (window ? " or on the Connection page of Velto's window" : "") + ".";
}

} // namespace corvane
