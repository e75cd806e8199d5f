#pragma once

#include "mac/MacPorts.h"
#include "platform/Platform.h"

#include <QString>

#include <memory>
#include <string_view>

namespace corvane {

class MacAdapter;
class SimAccessibility;
class SimAppCatalog;
class SimConsoleSession;
class SimControlCommands;
class SimControlServer;
class SimHostStats;
class SimInputEvents;
class SimKeychain;
class SimLoginItems;
class SimModel;
class SimPower;
class SimProcessRunner;
class SimScreenCapture;
class SimScripting;
class SimUserPrompts;
class SimWorkspace;

// A whole simulated Mac: the model, one Sim object per port and, when asked, the control channel.
// Bundle folders and the Shortcuts stand-in are created under `root`. Used from the thread that
// made it; the ports it hands out may be called from any thread (SimModel::with).
class SimulatedMac {
public:
    // The clock and preferences may be given (a virtual clock in tests, the real settings store
    // in a demo); otherwise the sim uses the system clock and a settings file under its root.
    struct Options {
        Clock* clock = nullptr;
        UserDefaults* defaults = nullptr;
    };

    explicit SimulatedMac(QString root);
    SimulatedMac(QString root, Options options);
    ~SimulatedMac();
    SimulatedMac(const SimulatedMac&) = delete;
    SimulatedMac& operator=(const SimulatedMac&) = delete;

    // Replaces the whole state by the scenario; throws SimScenarioError naming the place, and then
    // nothing of it has been applied.
    void load(std::string_view scenarioText);
    void loadFile(const QString& path);

    // Starts the control channel at the socket path; false with a reason when it cannot listen.
    bool listen(const QString& socketPath, QString* error = nullptr);

    // The meaning ports the agent uses, through the Mac adapter.
    Platform platform();
    // The Mac-level ports below the adapter, for tests of the simulation itself.
    MacPorts macPorts();
    SimModel& model();
    SimControlCommands& commands();
    SimProcessRunner& processes();

private:
    std::unique_ptr<Clock> ownClock_;
    std::unique_ptr<UserDefaults> ownDefaults_;
    Clock& clock_;
    UserDefaults& defaults_;
    std::unique_ptr<SimModel> model_;
    std::unique_ptr<SimWorkspace> workspace_;
    std::unique_ptr<SimConsoleSession> console_;
    std::unique_ptr<SimAccessibility> accessibility_;
    std::unique_ptr<SimInputEvents> input_;
    std::unique_ptr<SimScripting> scripting_;
    std::unique_ptr<SimPower> power_;
    std::unique_ptr<SimHostStats> host_;
    std::unique_ptr<SimAppCatalog> appCatalog_;
    std::unique_ptr<SimScreenCapture> screenCapture_;
    std::unique_ptr<SimKeychain> keychain_;
    std::unique_ptr<SimProcessRunner> processes_;
    std::unique_ptr<SimLoginItems> loginItems_;
    std::unique_ptr<SimUserPrompts> prompts_;
    // The meaning ports, on top of the Mac-level ports above.
    std::unique_ptr<MacAdapter> adapter_;
    std::unique_ptr<SimControlCommands> commands_;
    std::unique_ptr<SimControlServer> server_;
};

} // namespace corvane
