#include "Corvane/cli/WindowProgram.h"

#include "Corvane/Agent.h"
#include "Corvane/AgentControlServer.h"
#include "Corvane/DesktopControlCommands.h"
#include "Corvane/RelayOrigin.h"
#include "Corvane/cli/CommandLine.h"
#include "Corvane/cli/HeadlessPrompts.h"
#include "Corvane/cli/InstanceLock.h"
#include "Corvane/cli/KeychainVault.h"
#include "Corvane/cli/SignalWatcher.h"
#include "Corvane/cli/VeltoPaths.h"
#include "CorvaneApp/AppDelegate.h"
#include "CorvaneApp/WindowPrompts.h"
#include "CorvaneCore/CommandFeedback.h"
#include "CorvaneCore/ContractError.h"
#include "CorvaneCore/Detached.h"
#include "CorvaneCore/PrivateFile.h"
#include "CorvanePlatform/SettingsUserDefaults.h"
#include "CorvanePlatform/sim/SimulatedMac.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QPointer>
#include <QSslCertificate>
#include <QTimer>

#include <cstdio>
#include <optional>
#include <string>

namespace corvane {

namespace {

void printLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

int fail(const std::string& message) {
    printLine("velto: " + message);
    return 1;
}

// The product's website, a deployment value like the relay's.
constexpr const char* website = "https://velto.example.com";

} // namespace

int WindowProgram::run(const CommandLine& line, int& argc, char** argv) {
    QList<QSslCertificate> relayAuthorities;
    if (!line.relay.isEmpty()) {
        try {
            RelayOrigin::origin(line.relay.toStdString());
        } catch (const ContractError& refused) {
            printLine("velto: --relay " + line.relay.toStdString() + ": " +
                      std::string(CommandFeedback::error(refused.code())));
            return 2;
        }
        if (!line.relayCA.isEmpty()) {
            relayAuthorities = QSslCertificate::fromPath(line.relayCA, QSsl::Pem);
            if (relayAuthorities.isEmpty()) {
                printLine("velto: --relay-ca " + line.relayCA.toStdString() +
                          ": no PEM certificate could be read");
                return 2;
            }
        }
    }
    QString lockError;
    const std::optional<InstanceLock> instance = InstanceLock::acquire(
        VeltoPaths::dataDirectory() + QStringLiteral("/velto.lock"), &lockError);
    if (!instance) {
        return fail(InstanceLock::heldElsewhere(lockError)
                        ? "an agent is already running on " +
                              VeltoPaths::dataDirectory().toStdString()
                        : "cannot lock the data folder: " + lockError.toStdString());
    }

    QApplication application(argc, argv);
    // A tray application: the window closing leaves it running.
    QApplication::setQuitOnLastWindowClosed(false);
    SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::received, &application,
                     [] { QCoreApplication::quit(); });

    for (const QString& folder : {VeltoPaths::dataDirectory(), VeltoPaths::simulatorRoot()}) {
        try {
            PrivateFile::removeTemporaries(folder.toStdString());
        } catch (const std::exception& error) {
            printLine(std::string("velto: ") + error.what());
        }
    }
    const QString scenario =
        line.scenario.isEmpty()
            ? VeltoPaths::besideProgram(QStringLiteral("scenarios/default.json"))
            : line.scenario;
    SettingsUserDefaults defaults(SettingsUserDefaults::standardFilePath());
    if (!line.relay.isEmpty()) {
        try {
            defaults.setString("relay", line.relay.toStdString());
        } catch (const std::exception& error) {
            return fail(std::string("cannot store the relay: ") + error.what());
        }
    }
    const QString simRoot = VeltoPaths::simulatorRoot();
    if (!QDir().mkpath(simRoot)) {
        return fail("cannot create " + simRoot.toStdString());
    }
    QFile::setPermissions(simRoot,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    SimulatedMac mac(simRoot, SimulatedMac::Options{nullptr, &defaults});
    try {
        mac.loadFile(scenario);
    } catch (const std::exception& error) {
        return fail("scenario " + scenario.toStdString() + ": " + error.what());
    }
    QString listenError;
    if (!mac.listen(VeltoPaths::simulatorSocket(), &listenError)) {
        return fail("simulated Mac control socket " + VeltoPaths::simulatorSocket().toStdString() +
                    ": " + listenError.toStdString());
    }

    const Platform base = mac.platform();
    // Addresses to open are also printed: the simulated Mac only records them.
    HeadlessPrompts reported(base.prompts, [](const std::string& text) { printLine(text); });
    WindowPrompts prompts(reported);
    const Platform platform{base.workspace,     base.console,  base.accessibility, base.input,
                            base.scripting,     base.power,    base.host,          base.appCatalog,
                            base.screenCapture, base.keychain, base.processes,     base.loginItems,
                            base.defaults,      prompts,       base.clock};

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
            printLine("velto: " + text);
        };
        return std::make_unique<Agent>(
            platform, std::make_shared<KeychainVault>(platform.keychain, Agent::keychainService),
            Agent::Paths{VeltoPaths::dataDirectory().toStdString(),
                         Agent::schemaBeside(QCoreApplication::applicationDirPath())},
            std::move(agentOptions));
    };
    options.started = [&](Agent& agent) {
        desktopCommands = std::make_unique<DesktopControlCommands>(agent, platform);
        control = std::make_unique<AgentControlServer>(
            [commands = desktopCommands.get()](const JSON& command) {
                return commands->handle(command);
            });
        QString controlError;
        if (!control->listen(VeltoPaths::agentSocket(), &controlError)) {
            printLine("velto: agent control socket " + VeltoPaths::agentSocket().toStdString() +
                      ": " + controlError.toStdString());
        }
        startDetached(agent.startConnections(false), [](std::exception_ptr) {
            printLine("velto: starting the connections failed");
        });
    };
    auto app = std::make_unique<AppDelegate>(platform, prompts, std::move(options));
    app->launch();
    const int status = application.exec();
    control.reset();
    desktopCommands.reset();
    app.reset();
    // The Agent's waiting tasks end at their next wake-up once they see it gone.
    QEventLoop drain;
    QTimer::singleShot(Agent::monitorInterval + std::chrono::milliseconds(100), &drain,
                       &QEventLoop::quit);
    drain.exec();
    return status;
}

} // namespace corvane
