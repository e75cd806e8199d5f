#include "velto/BackendFactory.h"

#include "velto/Backend.h"
#include "velto/CommandLine.h"
#include "velto/LinuxBackend.h"
#include "velto/ProgramStart.h"
#include "velto/SimBackend.h"

namespace corvane::BackendFactory {

std::unique_ptr<Backend> make(const CommandLine& line, SettingsUserDefaults& defaults) {
    if (line.platform == QLatin1String("sim")) {
        return SimBackend::start(line, defaults);
    }
    if (line.platform == QLatin1String("linux")) {
        return LinuxBackend::start(line, defaults);
    }
    ProgramStart::printLine("velto: unknown platform '" + line.platform.toStdString() + "'");
    return nullptr;
}

} // namespace corvane::BackendFactory
