#pragma once

#include "core/JSON.h"

#include <QString>
#include <QStringList>

#include <array>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// `velto desktop status|enable [--yes]|disable|grant BUNDLE_ID...`: desktop control of the running
// agent, for the person at the machine, through the agent's own control socket. Consent is asked
// for here, on the terminal, and nowhere remote.
struct DesktopCommand {
    enum class Action { Status, Enable, Disable, Grant };
    // The command words, in the order of Action.
    static constexpr std::array<std::string_view, 4> verbs{"status", "enable", "disable", "grant"};

    Action action = Action::Status;
    // "enable --yes": the consent question is answered already.
    bool yes = false;
    // "grant": the applications, as given.
    std::vector<std::string> bundleIDs;

    // Whether the words after "desktop" ask for help (-h, --help before or after the command).
    static bool wantsHelp(const QStringList& words);
    // The words after "desktop"; throws CommandLineError for anything else.
    static DesktopCommand parse(const QStringList& words);
    static QString help();

    // The control command sent to the agent.
    JSON request() const;
    // Asks for consent when enabling (the question and the consent text on `out`, the answer read
    // from `in`: "y" or "yes"), sends the request to the agent's socket and prints the state it
    // answers, or the refusal on `err`. Needs a Qt event loop. Returns the exit status: 0 when
    // done, 1 when declined, refused or the agent could not be asked.
    int run(const QString& socketPath, std::istream& in, std::ostream& out,
            std::ostream& err) const;
    // The agent's answer to a request, as lines for a person.
    static std::string describe(const JSON& state);
    // How to turn desktop control on, by what the agent in `state` (a desktop_status answer)
    // offers: the command always, the window's page when it has one.
    static std::string enableHint(const JSON& state);
};

} // namespace corvane
