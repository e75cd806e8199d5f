#pragma once

#include "CorvaneCore/InstanceLock.h"

#include <QList>
#include <QSslCertificate>

#include <memory>
#include <optional>
#include <string>

namespace corvane {

class CommandLine;
class SettingsUserDefaults;
class SimulatedMac;

// What both ways of running the agent (headless and with its window) do before the Agent exists.
// Each step prints its refusal on standard error ("velto: ...") and says whether the run goes on.
class ProgramStart {
public:
    // One line on standard error, whatever `text` holds (TerminalLine::printable).
    static void printLine(const std::string& text);

    // A relay that is not a bare HTTPS origin and an authority file without a certificate are
    // refused before anything is touched (the caller exits with 2).
    static bool relayOptionsRefused(const CommandLine& line, QList<QSslCertificate>& authorities);

    // One agent per data folder, decided before anything in it is read or written: two agents on
    // one folder would rewrite the simulated Mac's files, take over its control socket and move
    // the loopback port under each other's feet. Empty when refused.
    static std::optional<InstanceLock> lockDataFolder();

    // Before the Qt application: a private runtime folder when none is set (Qt warns on every
    // start without one), and what a crash in the middle of a write left behind.
    static void prepareFolders();

    // The relay option stored, then the simulated Mac loaded from the scenario and listening on
    // its control socket. Null when any of it failed.
    static std::unique_ptr<SimulatedMac> simulatedMac(const CommandLine& line,
                                                      SettingsUserDefaults& defaults);
};

} // namespace corvane
