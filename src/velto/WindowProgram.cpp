#include "velto/WindowProgram.h"

#include "agent/Agent.h"
#include "agent/AgentControlServer.h"
#include "agent/DesktopControlCommands.h"
#include "agent/TaskHandle.h"
#include "core/Detached.h"
#include "core/InstanceLock.h"
#include "platform/PlatformWithPrompts.h"
#include "platform/SettingsUserDefaults.h"
#include "sim/SimProcessRunner.h"
#include "velto/Backend.h"
#include "velto/BackendFactory.h"
#include "velto/CommandLine.h"
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
#include <optional>
#include <string>

namespace corvane {

namespace {

// The product's website, a deployment value like the relay's.
constexpr const char* website = "https://velto.example.com";

} // namespace

int WindowProgram::run(const CommandLine& line, int& argc, char** argv) {
    QList<QSslCertificate> relayAuthorities;
    if (ProgramStart::relayOptionsRefused(line, relayAuthorities)) {
        return 2;
    }
    const std::optional<InstanceLock> instance = ProgramStart::lockDataFolder();
    if (!instance) {
        return 1;
    }
    ProgramStart::prepareFolders();
    QApplication application(argc, argv);
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
    AppDelegate::Options options;
    options.programPath = QCoreApplication::applicationFilePath().toStdString();
    options.website = QString::fromLatin1(website);
    // Desktops that turn animations off say so through the style's general UI effects.
    options.reducedMotion = [] {
        return !QApplication::isEffectEnabled(Qt::UI_General);
    };
    options.makeAgent = [&platform, relayAuthorities]() -> std::unique_ptr<Agent> {
        Agent::Options agentOptions;
        agentOptions.relayOrigin = Agent::builtRelayOrigin();
        agentOptions.dashboardOrigin = Agent::builtDashboardOrigin();
        agentOptions.relayCertificates = relayAuthorities;
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
        control = std::make_unique<AgentControlServer>(
            [commands = desktopCommands.get()](const JSON& command) {
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
    auto app = std::make_unique<AppDelegate>(platform, prompts, std::move(options));
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
