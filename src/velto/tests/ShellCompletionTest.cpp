#include "velto/ShellCompletion.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>

namespace corvane {
namespace {

const std::vector<std::string> actions{"get_state", "set_volume", "mute"};

struct Shell {
    int status = -1;
    std::string out;
};

Shell runShell(const QString& shell, const QStringList& arguments) {
    QProcess process;
    process.start(shell, arguments);
    Shell result;
    if (process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit) {
        result.status = process.exitCode();
    }
    result.out = (process.readAllStandardOutput() + process.readAllStandardError()).toStdString();
    return result;
}

// What the bash function offers for the words typed so far (the last one being completed).
std::string bashOffers(const std::string& scriptPath, const std::string& typed) {
    const std::string program = "source '" + scriptPath +
                                "'\n"
                                "COMP_WORDS=(" +
                                typed +
                                ")\n"
                                "COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
                                "_velto\n"
                                "echo \"${COMPREPLY[*]}\"\n";
    return runShell(QStringLiteral("bash"), {QStringLiteral("-c"), QString::fromStdString(program)})
        .out;
}

TEST(ShellCompletion, BashScriptParsesAndOffersTheWordsThatFit) {
    QTemporaryDir directory;
    const std::string path = directory.filePath(QStringLiteral("velto.bash")).toStdString();
    std::ofstream(path) << ShellCompletion::script("bash", actions);
    const Shell syntax =
        runShell(QStringLiteral("bash"), {QStringLiteral("-n"), QString::fromStdString(path)});
    ASSERT_EQ(syntax.status, 0) << syntax.out;

    struct Row {
        const char* typed;
        const char* offered;
    } const rows[] = {
        {"velto ''", "call local-api sim desktop mcp help completion\n"},
        {"velto --he", "--headless --help\n"},
        {"velto call set", "set_volume\n"},
        {"velto call --platform sim ''", "get_state set_volume mute\n"},
        {"velto call get_state ''", "\n"},
        {"velto call --j", "--json\n"},
        {"velto --platform ''", "sim linux\n"},
        {"velto sim scr", "screen\n"},
        {"velto sim screen ''", "locked unlocked inactive unknown\n"},
        {"velto sim --json mute o", "on off\n"},
        {"velto desktop en", "enable\n"},
        {"velto desktop enable ''", "--yes\n"},
        {"velto completion ''", "bash zsh\n"},
        {"velto help de", "desktop\n"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(bashOffers(path, row.typed), row.offered) << row.typed;
    }
}

TEST(ShellCompletion, ZshScriptParsesAndOffersTheWordsThatFitWhereZshIsInstalled) {
    const QString zsh = QStandardPaths::findExecutable(QStringLiteral("zsh"));
    if (zsh.isEmpty()) {
        GTEST_SKIP() << "zsh is not installed";
    }
    QTemporaryDir directory;
    const std::string path = directory.filePath(QStringLiteral("_velto")).toStdString();
    std::ofstream(path) << ShellCompletion::script("zsh", actions);
    const Shell syntax = runShell(zsh, {QStringLiteral("-n"), QString::fromStdString(path)});
    ASSERT_EQ(syntax.status, 0) << syntax.out;

    // Loaded as from $fpath, with compadd replaced by a recorder (zsh filters by prefix itself).
    const std::string program = "fpath=('" + directory.path().toStdString() +
                                "' $fpath)\n"
                                "compadd() { shift; print -r -- \"$*\"; }\n"
                                "_files() { print -r -- FILES; }\n"
                                "compdef() { :; }\n"
                                "autoload -Uz _velto\n"
                                "offer() { words=(\"$@\"); CURRENT=${#words}; _velto; }\n"
                                "offer velto ''\n"
                                "offer velto sim screen ''\n"
                                "offer velto call --json ''\n"
                                "offer velto --scenario ''\n"
                                "offer velto desktop enable ''\n";
    const Shell offered = runShell(
        zsh, {QStringLiteral("-f"), QStringLiteral("-c"), QString::fromStdString(program)});
    EXPECT_EQ(offered.out, "call local-api sim desktop mcp help completion\n"
                           "locked unlocked inactive unknown\n"
                           "get_state set_volume mute\n"
                           "FILES\n"
                           "--yes\n");
}

} // namespace
} // namespace corvane
