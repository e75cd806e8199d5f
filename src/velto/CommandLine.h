#pragma once

#include "core/JSON.h"
#include "velto/DesktopCommand.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace corvane {

// What one run of `velto` was asked to do, read from its arguments (without the program name).
// parse() throws CommandLineError for anything it does not accept; nothing is half-parsed.
struct CommandLine {
    enum class Mode { Help, Version, Headless, Window, LocalApi, Call, Sim, Desktop };

    Mode mode = Mode::Help;
    // Mode::Help and Mode::Version: the text to print on standard output (exit status 0).
    QString helpText;
    // The backend whose state (defaults, vault, control socket) is used. Only "sim" exists.
    QString platform = QStringLiteral("sim");
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
};

} // namespace corvane
