#pragma once

#include "core/InstanceLock.h"

#include <QList>
#include <QSslCertificate>

#include <memory>
#include <optional>
#include <string>

namespace corvane {

class CommandLine;
class Backend;
class SettingsUserDefaults;

// What both ways of running the agent (headless and with its window) do before the Agent exists.
// Each step prints its refusal on standard error ("velto: ...") and says whether the run goes on.
class ProgramStart {
public:
    // One line on standard error, whatever `text` holds (TerminalLine::printable).
    static void printLine(const std::string& text);

    // Descriptors the agent needs at the least: its files, the threads' and the event loop's
    // wake-ups, its sockets and a full loopback server (64 connections), with room to spare.
    static constexpr unsigned long agentDescriptors = 256;
    // What a one-shot command (`velto call`, `sim`, `desktop`, ...) needs at the least.
    static constexpr unsigned long clientDescriptors = 32;

    // Before the Qt application, whose event loop aborts the process when it cannot make its
    // wake-up descriptors: a soft limit below `needed` is raised to it when the hard limit allows,
    // otherwise the run is refused ("velto: too few file descriptors ..."; the caller exits 1).
    static bool descriptorsRefused(unsigned long needed);

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

    // Once the Agent is gone: its waiting tasks (cancelled sleeps) and the backend's own watches
    // end at their next wake-up; let them run to their end instead of leaving them suspended.
    static void drain(const Backend& backend);
};

} // namespace corvane
