#include "velto/DesktopCommand.h"
#include "velto/CommandLine.h"
#include "velto/CommandLineError.h"

#include "LineServer.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sstream>

namespace corvane {
namespace {

QStringList words(std::initializer_list<const char*> list) {
    QStringList out;
    for (const char* w : list) {
        out.append(QString::fromUtf8(w));
    }
    return out;
}

std::string parsed(std::initializer_list<const char*> arguments) {
    try {
        const CommandLine line = CommandLine::parse(words(arguments));
        if (line.mode == CommandLine::Mode::Help) {
            return "help";
        }
        return line.desktop.request().data() + (line.desktop.yes ? " yes" : "");
    } catch (const CommandLineError& error) {
        return error.what();
    }
}

TEST(DesktopCommand, ParsesTheFourCommandsAndNothingElse) {
    struct Row {
        std::initializer_list<const char*> arguments;
        std::string expected;
    } const rows[] = {
        {{"desktop", "status"}, R"({"cmd":"desktop_status"})"},
        {{"desktop", "enable"}, R"({"cmd":"desktop_enable"})"},
        {{"desktop", "enable", "--yes"}, R"({"cmd":"desktop_enable"} yes)"},
        {{"desktop", "disable"}, R"({"cmd":"desktop_disable"})"},
        {{"desktop", "grant", "b", "a"}, R"({"bundle_ids":["b","a"],"cmd":"desktop_grant"})"},
        {{"desktop", "--help"}, "help"},
        {{"desktop", "grant", "-h"}, "help"},
        {{"help", "desktop"}, "help"},
        {{"desktop"},
         "velto desktop: usage: velto desktop status|enable [--yes]|disable|grant "
         "BUNDLE_ID... (see velto desktop --help)"},
        {{"desktop", "stop"}, "velto desktop: unknown command 'stop'"},
        {{"desktop", "status", "now"}, "velto desktop: unexpected argument 'now'"},
        {{"desktop", "enable", "--yes", "--yes"}, "velto desktop: unexpected argument '--yes'"},
        {{"desktop", "enable", "-y"}, "velto desktop: unexpected argument '-y'"},
        {{"desktop", "disable", "--yes"}, "velto desktop: unexpected argument '--yes'"},
        {{"desktop", "grant"}, "velto desktop: usage: velto desktop grant BUNDLE_ID..."},
        {{"desktop", "grant", "a", "--all"}, "velto desktop: expected a bundle identifier"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(parsed(row.arguments).rfind(row.expected, 0), 0u) << parsed(row.arguments);
    }
}

// The agent's socket, answering each command line with `answer`.
test::LineServer agentAnswering(std::string answer) {
    return test::LineServer([answer](const std::string&) { return answer; });
}

const char* const enabledState =
    R"({"ok":true,"status":"Desktop control enabled","consent":true,)"
    R"("granted":{"bundle_ids":["a.app","b.app"],"expires_at":"2026-01-01T00:15:00.000Z",)"
    R"("seconds_left":899},"permissions":{"accessibility":"granted","screen_recording":"denied"}})";

struct Finished {
    int status;
    std::string out;
    std::string err;
};

Finished run(const DesktopCommand& command, const QString& path, const std::string& typed) {
    std::istringstream in(typed);
    std::ostringstream out;
    std::ostringstream err;
    const int status = command.run(path, in, out, err);
    return {status, out.str(), err.str()};
}

const char* const offState =
    R"({"ok":true,"status":"Desktop control is off","consent":false,"granted":null,)"
    R"("permissions":{"accessibility":"granted","screen_recording":"denied"},)"
    R"("front_end":"headless"})";

// An agent whose desktop control is off until it is enabled.
test::LineServer agentOff() {
    return test::LineServer([](const std::string& line) {
        return line == R"({"cmd":"desktop_enable"})" ? std::string(enabledState)
                                                     : std::string(offState);
    });
}

TEST(DesktopCommand, EnablingAsksARunningAgentFirstUnlessAnsweredAlready) {
    const std::string status = R"({"cmd":"desktop_status"})";
    const std::string enableLine = R"({"cmd":"desktop_enable"})";
    const DesktopCommand enable = DesktopCommand::parse(words({"enable"}));
    for (const char* answer : {"", "n\n", "no\n", "yes please\n", "\n"}) {
        test::LineServer agent = agentOff();
        const Finished declined = run(enable, agent.path(), answer);
        EXPECT_EQ(declined.status, 1) << answer;
        EXPECT_EQ(agent.received, std::vector<std::string>{status}) << answer;
        EXPECT_NE(declined.out.find("Allow Lumo-connected callers to control this Mac?"),
                  std::string::npos);
        EXPECT_NE(declined.out.find("Enable desktop control? [y/N] Desktop control stays off."),
                  std::string::npos);
    }
    for (const char* answer : {"y\n", "YES\n", "Y"}) {
        test::LineServer agent = agentOff();
        const Finished accepted = run(enable, agent.path(), answer);
        EXPECT_EQ(accepted.status, 0) << answer;
        EXPECT_EQ(agent.received, (std::vector<std::string>{status, enableLine}));
    }
    test::LineServer agent = agentOff();
    const Finished answered =
        run(DesktopCommand::parse(words({"enable", "--yes"})), agent.path(), "");
    EXPECT_EQ(answered.status, 0);
    EXPECT_EQ(answered.out.find("[y/N]"), std::string::npos);
    EXPECT_NE(answered.out.find("Password prompts and the lock screen remain yours to handle."),
              std::string::npos);
    EXPECT_NE(answered.out.find("Desktop control enabled\nConsent: on\n"
                                "Granted: a.app, b.app until 2026-01-01T00:15:00.000Z (899 s "
                                "left)\nAccessibility: granted\nScreen recording: denied\n"),
              std::string::npos)
        << answered.out;

    // Nothing is shown or asked without an agent to enable, or when it is on already.
    QTemporaryDir empty;
    const Finished nobody = run(enable, empty.filePath(QStringLiteral("agent.sock")), "y\n");
    EXPECT_EQ(nobody.status, 1);
    EXPECT_TRUE(nobody.out.empty()) << nobody.out;
    EXPECT_NE(nobody.err.find("no agent is running"), std::string::npos) << nobody.err;
    test::LineServer on = agentAnswering(enabledState);
    const Finished already = run(enable, on.path(), "");
    EXPECT_EQ(already.status, 0);
    EXPECT_EQ(on.received, std::vector<std::string>{status});
    EXPECT_EQ(already.out.find("Allow"), std::string::npos) << already.out;
}

TEST(DesktopCommand, HintsNameWhatTheRunningAgentOffers) {
    struct Row {
        const char* state;
        const char* hint;
        const char* absent;
    } const rows[] = {
        {R"({"consent":false,"front_end":"headless"})", "Turn it on with 'velto desktop enable'.\n",
         "window"},
        {R"({"consent":false,"front_end":"window"})",
         "Turn it on with 'velto desktop enable' or on the Connection page of Velto's window.\n",
         nullptr},
        {R"({"consent":true,"front_end":"headless"})",
         "Turn it off with 'velto desktop disable'.\n", "menu"},
        {R"({"consent":true,"front_end":"window"})",
         "Turn it off with 'velto desktop disable' or from Velto's menu.\n", nullptr},
    };
    for (const Row& row : rows) {
        const std::string lines = DesktopCommand::describe(JSON::parse(row.state));
        EXPECT_NE(lines.find(row.hint), std::string::npos) << lines;
        if (row.absent != nullptr) {
            EXPECT_EQ(lines.find(row.absent), std::string::npos) << lines;
        }
    }
}

TEST(DesktopCommand, RefusalsAndAMissingAgentExitOne) {
    test::LineServer refusing = agentAnswering(
        R"({"ok":false,"error":"desktop_app_excluded","message":"This is a protected screen."})");
    const Finished refused =
        run(DesktopCommand::parse(words({"grant", "com.apple.loginwindow"})), refusing.path(), "");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "velto desktop: desktop_app_excluded: This is a protected screen.\n");
    EXPECT_TRUE(refused.out.empty());

    QTemporaryDir empty;
    const Finished missing = run(DesktopCommand::parse(words({"status"})),
                                 empty.filePath(QStringLiteral("agent.sock")), "");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("no agent is running"), std::string::npos) << missing.err;
    EXPECT_NE(missing.err.find("velto --headless"), std::string::npos) << missing.err;
}

} // namespace
} // namespace corvane
