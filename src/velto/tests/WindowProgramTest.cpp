// The window program as a person starts it: a clean start says nothing on standard error, and a
// second start brings the running agent's window forward instead of failing.
#include "ProgramHome.h"
#include "support/TestRelay.h"

#include <QFileInfo>

#include <gtest/gtest.h>

namespace corvane {
namespace {

class WindowProgram : public test::ProgramHome {
protected:
    QString agentSocket() const {
        return home_.filePath(QStringLiteral("data/Corvane/agent.sock"));
    }

    // Lines of `text` that are not the program's own ("velto: ..."): Qt's warnings and the like.
    static std::vector<std::string> foreignLines(const std::string& text) {
        std::vector<std::string> out;
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t end = std::min(text.find('\n', start), text.size());
            const std::string line = text.substr(start, end - start);
            if (!line.empty() && !line.starts_with("velto: ")) {
                out.push_back(line);
            }
            start = end + 1;
        }
        return out;
    }
};

TEST_F(WindowProgram, StartsCleanlyAndASecondStartBringsItsWindowForward) {
    // With a relay and its authority, which are read at start.
    agent_.start(QStringLiteral(VELTO_PROGRAM),
                 {QStringLiteral("--platform"), QStringLiteral("sim"), QStringLiteral("--scenario"),
                  QStringLiteral(VELTO_DEFAULT_SCENARIO), QStringLiteral("--relay"),
                  QStringLiteral("https://127.0.0.1:9"), QStringLiteral("--relay-ca"),
                  test::TestRelay::authorityFile()});
    ASSERT_TRUE(until([&] {
        return QFileInfo::exists(agentSocket()) || agent_.state() == QProcess::NotRunning;
    })) << err_;
    ASSERT_EQ(agent_.state(), QProcess::Running) << err_;
    EXPECT_EQ(foreignLines(err_), std::vector<std::string>{}) << err_;

    const test::Outcome second = velto({"--platform", "sim", "--scenario", VELTO_DEFAULT_SCENARIO});
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(agent_.state(), QProcess::Running);
    EXPECT_TRUE(stopAgent()) << err_;
}

TEST_F(WindowProgram, ASecondStartBesideAHeadlessAgentSaysThereIsNoWindow) {
    ASSERT_NE(startAgent(), 0);
    ASSERT_TRUE(until([&] { return QFileInfo::exists(agentSocket()); })) << err_;
    const test::Outcome second = velto({"--platform", "sim", "--scenario", VELTO_DEFAULT_SCENARIO});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("an agent is already running"), std::string::npos) << second.err;
    EXPECT_NE(second.err.find("--headless"), std::string::npos) << second.err;
    EXPECT_TRUE(stopAgent()) << err_;
}

} // namespace
} // namespace corvane
