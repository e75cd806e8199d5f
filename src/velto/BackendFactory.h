#pragma once

#include <QString>

#include <array>
#include <memory>
#include <string_view>

namespace corvane {

class Backend;
class SettingsUserDefaults;
struct CommandLine;

// Builds the backend that `--platform` names. The names are declared here without the backends,
// so that the command line can check them without linking any.
namespace BackendFactory {

inline constexpr std::array<std::string_view, 2> names{"sim", "linux"};

inline bool knows(const QString& name) {
    for (const std::string_view known : names) {
        if (name == QLatin1String(known.data(), static_cast<qsizetype>(known.size()))) {
            return true;
        }
    }
    return false;
}

// The platform when none is named: this desktop for an installed program that runs in a desktop
// session (a session bus and a display); the simulated Mac for a build tree (tests, demos,
// scripts/run) and outside a desktop session.
inline std::string_view defaultName(bool installed, bool sessionBus, bool display) {
    return installed && sessionBus && display ? names[1] : names[0];
}

// The names joined for a person: "sim, linux".
inline QString list() {
    QString joined;
    for (const std::string_view known : names) {
        if (!joined.isEmpty()) {
            joined += QStringLiteral(", ");
        }
        joined += QLatin1String(known.data(), static_cast<qsizetype>(known.size()));
    }
    return joined;
}

// The backend named by the command line, ready to use (the simulated Mac: the relay option
// stored, its scenario loaded, its control socket listening; the Linux desktop: its services
// being reached). Null, with the reason printed, when
// it cannot start.
std::unique_ptr<Backend> make(const CommandLine& line, SettingsUserDefaults& defaults);

} // namespace BackendFactory

} // namespace corvane
