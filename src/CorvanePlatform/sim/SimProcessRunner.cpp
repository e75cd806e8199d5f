#include "CorvanePlatform/sim/SimProcessRunner.h"

#include "CorvanePlatform/sim/SimModel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

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

class RealProcess final : public ProcessRunner::Process {
public:
    ~RealProcess() override {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(1000);
        }
    }

    QProcess& process() { return process_; }

    std::optional<int> exitStatus() override {
        if (process_.state() != QProcess::NotRunning) {
            // Collects an exit that happened meanwhile without blocking.
            process_.waitForFinished(0);
        }
        if (process_.state() != QProcess::NotRunning) {
            return std::nullopt;
        }
        if (process_.exitStatus() == QProcess::CrashExit) {
            return 128 + 15; // ended by a signal: never reported as success
        }
        return process_.exitCode();
    }

    void terminate() override { process_.terminate(); }

private:
    QProcess process_;
};

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
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path + QStringLiteral(".tmp"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(script.data(), static_cast<qint64>(script.size())) !=
            static_cast<qint64>(script.size())) {
        return false;
    }
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QFile::remove(path);
    return QFile::rename(path + QStringLiteral(".tmp"), path);
}

std::unique_ptr<ProcessRunner::Process>
SimProcessRunner::start(const std::string& path, const std::vector<std::string>& arguments) {
    JSON::Array args;
    QStringList list;
    for (const std::string& argument : arguments) {
        args.push_back(JSON(argument));
        list.push_back(QString::fromStdString(argument));
    }
    model_.record("process", {{"path", JSON(path)}, {"arguments", JSON(std::move(args))}});
    QString program = QString::fromStdString(path);
    if (path == shortcutsTool) {
        if (!writeShortcutsScript()) {
            throw ProcessStartError("cannot prepare the simulated shortcuts tool");
        }
        program = shortcutsScriptPath();
    }
    auto process = std::make_unique<RealProcess>();
    process->process().setStandardOutputFile(QProcess::nullDevice());
    process->process().setStandardErrorFile(QProcess::nullDevice());
    process->process().start(program, list);
    if (!process->process().waitForStarted(5000)) {
        throw ProcessStartError("cannot start " + path + ": " +
                                process->process().errorString().toStdString());
    }
    return process;
}

} // namespace corvane
