#pragma once

#include "velto/Backend.h"

#include <memory>

namespace corvane {

class SettingsUserDefaults;
class SimulatedMac;
struct CommandLine;

// The simulated Mac as the program's backend: its ports through the Mac adapter, its control
// socket for `velto sim`.
class SimBackend final : public Backend {
public:
    // The relay option stored, then the simulated Mac loaded from the scenario and listening on
    // its control socket. Null, with the reason printed, when any of it failed.
    static std::unique_ptr<SimBackend> start(const CommandLine& line,
                                             SettingsUserDefaults& defaults);

    explicit SimBackend(std::unique_ptr<SimulatedMac> mac);
    ~SimBackend() override;

    Platform platform() override;
    void endProcesses() override;
    std::chrono::milliseconds drainTime() const override;

private:
    std::unique_ptr<SimulatedMac> mac_;
};

} // namespace corvane
