#include "velto/BackendFactory.h"
#include "velto/CommandLine.h"
#include "velto/CommandLineError.h"
#include "velto/VeltoProgram.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

bool set(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0';
}

// The platform when none was named (see BackendFactory::defaultName). A program with the contract
// document beside it runs from a build tree.
QString defaultPlatform() {
    std::error_code failed;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", failed);
    const bool installed =
        !failed &&
        !std::filesystem::exists(program.parent_path() / "resources" / "v1.schema.json", failed);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const bool sessionBus =
        set("DBUS_SESSION_BUS_ADDRESS") ||
        (runtime != nullptr &&
         std::filesystem::exists(std::filesystem::path(runtime) / "bus", failed));
    const bool display = set("DISPLAY") || set("WAYLAND_DISPLAY");
    const std::string_view name =
        corvane::BackendFactory::defaultName(installed, sessionBus, display);
    return QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
}

} // namespace

int main(int argc, char** argv) {
#if defined(__GLIBC__)
    // Every log append takes and frees a few large temporary buffers on the I/O thread. With
    // glibc's adaptive threshold they soon come from the heap and their pages stay with the
    // process after they are freed (about 6 MB more resident once the log is full); a fixed
    // threshold keeps them mapped only while they are in use.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    corvane::CommandLine line;
    try {
        line = corvane::CommandLine::parse(arguments);
        if (!line.platformGiven) {
            line.platform = defaultPlatform();
        }
    } catch (const corvane::CommandLineError& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    }
    return corvane::VeltoProgram::run(line, argv[0]);
}
