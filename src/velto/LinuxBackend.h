#pragma once

#include "platform/ServiceGaps.h"
#include "velto/Backend.h"

#include <memory>

namespace corvane {

class SettingsUserDefaults;
struct CommandLine;

// The real Linux desktop the agent runs on: logind, UPower, power profiles and MPRIS over D-Bus,
// the sound server over libpulse, the kernel's figures, the Secret Service keychain. Ports not yet
// built for this desktop are honest stand-ins, and its gaps say so to the capability report.
class LinuxBackend final : public Backend, public ServiceGaps {
public:
    // The relay option stored, then the services reached (each answers later, on the event loop).
    // Null, with the reason printed, when any of it failed.
    static std::unique_ptr<LinuxBackend> start(const CommandLine& line,
                                               SettingsUserDefaults& defaults);

    explicit LinuxBackend(SettingsUserDefaults& defaults);
    ~LinuxBackend() override;

    Platform platform() override;
    void endProcesses() override;
    std::chrono::milliseconds drainTime() const override;
    std::vector<Gap> gaps() const override;

private:
    struct Ports;
    std::unique_ptr<Ports> ports_;
};

} // namespace corvane
