#include "velto/WindowProgram.h"

#include "agent/Agent.h"
#include "agent/AgentControlServer.h"
#include "agent/DesktopControlCommands.h"
#include "agent/RelayTrust.h"
#include "agent/TaskHandle.h"
#include "agent/WindowRaiseRequest.h"
#include "core/Detached.h"
#include "core/InstanceLock.h"
#include "platform/PlatformWithPrompts.h"
#include "platform/SettingsUserDefaults.h"
#include "sim/SimProcessRunner.h"
#include "velto/Backend.h"
#include "velto/BackendFactory.h"
#include "velto/CapabilityQuery.h"
#include "velto/CommandLine.h"
#include "velto/ControlSocketClient.h"
#include "velto/HeadlessPrompts.h"
#include "velto/KeychainVault.h"
#include "velto/ProgramStart.h"
#include "velto/SignalWatcher.h"
#include "velto/VeltoPaths.h"
#include "window/AppDelegate.h"
#include "window/WindowPrompts.h"

#include <QApplication>
#include <QEventLoop>
#include <QPointer>
#include <QSslCertificate>
#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>

namespace corvane {

namespace {

// The product's website, a deployment value like the relay's.
constexpr const char* website = "https://velto.example.com";

// Another agent holds the data folder: a running window program shows its window instead of a
// second agent starting. 0 when it did; 1 when no window could be brought forward.
int raiseRunningWindow(int& argc, char** argv) {
    const QCoreApplication asking(argc, argv);
    const ControlSocketClient::Outcome outcome =
        ControlSocketClient::run(VeltoPaths::agentSocket(), {WindowRaiseRequest::request()},
                                 {"the running agent", "the running agent does not answer"});
    if (outcome.ok()) {
        return 0;
    }
    ProgramStart::printLine("velto: an agent is already running on " +
                            VeltoPaths::dataDirectory().toStdString() +
                            " and did not show a window (" + outcome.error +
                            "); an agent started with --headless has none");
    return 1;
}

} // namespace

int WindowProgram::run(const CommandLine& line, int& argc, char** argv) {
    QString lockError;
    const std::optional<InstanceLock> instance = InstanceLock::acquire(
        VeltoPaths::dataDirectory() + QStringLiteral("/velto.lock"), &lockError);
    if (!instance) {
        if (InstanceLock::heldElsewhere(lockError)) {
            return raiseRunningWindow(argc, argv);
        }
        ProgramStart::printLine("velto: cannot lock the data folder: " + lockError.toStdString());
        return 1;
    }
    ProgramStart::prepareFolders();
    QApplication application(argc, argv);
    // Certificates are read once the application exists: Qt's TLS back end ties itself to the
    // application object when first used, and warned of a null one on every start before.
    QList<QSslCertificate> relayAuthorities;
    if (ProgramStart::relayOptionsRefused(line, relayAuthorities)) {
        return 2;
    }
    // A tray application: the window closing leaves it running.
    QApplication::setQuitOnLastWindowClosed(false);
    SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::received, &application,
                     [] { QCoreApplication::quit(); });

    SettingsUserDefaults defaults(SettingsUserDefaults::standardFilePath());
    const std::unique_ptr<Backend> backend = BackendFactory::make(line, defaults);
    if (!backend) {
        return 1;
    }

    const Platform base = backend->platform();
    // Addresses to open are also printed: the simulated Mac only records them.
    HeadlessPrompts reported(base.prompts,
                             [](const std::string& text) { ProgramStart::printLine(text); });
    WindowPrompts prompts(reported);
    const Platform platform = platformWithPrompts(base, prompts);

    std::unique_ptr<DesktopControlCommands> desktopCommands;
    std::unique_ptr<AgentControlServer> control;
    // Pinned relay certificates live with the agent's other private files.
    const auto trust = std::make_shared<RelayTrust>(
        std::filesystem::path(VeltoPaths::dataDirectory().toStdString()) /
            "relay-certificates.json",
        relayAuthorities);
    if (!trust->loadProblem().isEmpty()) {
        ProgramStart::printLine("velto: trusted relay certificates: " +
                                trust->loadProblem().toStdString());
    }
    std::unique_ptr<AppDelegate> app;
    AppDelegate::Options options;
    options.trust = trust;
    options.programPath = QCoreApplication::applicationFilePath().toStdString();
    options.website = QString::fromLatin1(website);
    // Desktops that turn animations off say so through the style's general UI effects.
    options.reducedMotion = [] {
        return !QApplication::isEffectEnabled(Qt::UI_General);
    };
    options.makeAgent = [&platform, relayAuthorities, trust]() -> std::unique_ptr<Agent> {
        Agent::Options agentOptions;
        agentOptions.relayOrigin = Agent::builtRelayOrigin();
        agentOptions.dashboardOrigin = Agent::builtDashboardOrigin();
        agentOptions.relayCertificates = relayAuthorities;
        agentOptions.relayTrust = trust;
        agentOptions.report = [](const std::string& text) {
            ProgramStart::printLine("velto: " + text);
        };
        return std::make_unique<Agent>(
            platform, std::make_shared<KeychainVault>(platform.keychain, Agent::keychainService),
            Agent::Paths{VeltoPaths::dataDirectory().toStdString(),
                         Agent::schemaBeside(QCoreApplication::applicationDirPath())},
            std::move(agentOptions));
    };
    options.started = [&](Agent& agent) {
        desktopCommands = std::make_unique<DesktopControlCommands>(
            agent, platform, DesktopControlCommands::FrontEnd::Window);
        control = std::make_unique<AgentControlServer>([commands = desktopCommands.get(), &app,
                                                        &platform,
                                                        running = &agent](const JSON& command) {
            // A second launch asks for the window instead of starting another agent.
            if (WindowRaiseRequest::matches(command)) {
                app->showWindow();
                return JSON(JSON::Object{{"ok", JSON(true)}});
            }
            // `velto mcp` lists the tools this agent offers.
            if (CapabilityQuery::matches(command)) {
                Platform reported = platform;
                return CapabilityQuery::answer(reported, running->executor().desktop().active());
            }
            return commands->handle(command);
        });
        QString controlError;
        if (!control->listen(VeltoPaths::agentSocket(), &controlError)) {
            ProgramStart::printLine("velto: agent control socket " +
                                    VeltoPaths::agentSocket().toStdString() + ": " +
                                    controlError.toStdString());
        }
        startDetached(agent.startConnections(false), [](std::exception_ptr) {
            ProgramStart::printLine("velto: starting the connections failed");
        });
    };
    app = std::make_unique<AppDelegate>(platform, prompts, std::move(options));
    app->launch();
    const int status = application.exec();
    control.reset();
    desktopCommands.reset();
    // A running Shortcut ends with the agent, with whatever it started.
    backend->endProcesses();
    app.reset();
    ProgramStart::drain(*backend);
    return status;
}

} // namespace corvane
