#include "sim/SimProcessRunner.h"

#include "sim/SimFiles.h"
#include "sim/SimModel.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace corvane {

namespace {

// A single-quoted shell word: a quote inside is closed, escaped and reopened.
std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

} // namespace

QString SimProcessRunner::shortcutsScriptPath() const {
    return model_.root() + QStringLiteral("/usr/bin/shortcuts");
}

bool SimProcessRunner::writeShortcutsScript() const {
    std::string script =
        "#!/bin/sh\n"
        "# Simulated Shortcuts tool: \"run -- NAME\" behaves as the scenario says.\n"
        "if [ \"$#\" -ne 3 ] || [ \"$1\" != run ] || [ \"$2\" != -- ]; then\n"
        "  echo 'usage: shortcuts run -- NAME' >&2\n"
        "  exit 64\n"
        "fi\n"
        "case \"$3\" in\n";
    const JSON shortcuts = model_.setting({"shortcuts"});
    for (const auto& [name, behaviour] : *shortcuts.object()) {
        const int status = static_cast<int>(*behaviour.find("exit_status")->number());
        const double seconds = *behaviour.find("duration_ms")->number() / 1000.0;
        char line[96];
        std::snprintf(line, sizeof line, ") sleep %.3f; exit %d ;;\n", seconds, status);
        script += "  " + shellQuoted(name) + line;
    }
    script += "  *) echo \"Shortcut not found: $3\" >&2; exit 1 ;;\nesac\n";

    const QString path = shortcutsScriptPath();
    return QDir().mkpath(QFileInfo(path).absolutePath()) &&
           SimFiles::replace(path, script,
                             QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                 QFileDevice::ExeOwner);
}

std::unique_ptr<ProcessRunner::Process>
SimProcessRunner::start(const std::string& path, const std::vector<std::string>& arguments) {
    JSON::Array args;
    for (const std::string& argument : arguments) {
        args.push_back(JSON(argument));
    }
    model_.with([&](SimParts& mac) {
        mac.record.record("process", {{"path", JSON(path)}, {"arguments", JSON(std::move(args))}});
    });
    QString program = QString::fromStdString(path);
    if (path == shortcutsTool) {
        if (!writeShortcutsScript()) {
            throw ProcessStartError("cannot prepare the simulated shortcuts tool");
        }
        program = shortcutsScriptPath();
    }
    // The stand-in is only a different program: starting, polling and ending stay real.
    return real_.start(program.toStdString(), arguments);
}

} // namespace corvane
