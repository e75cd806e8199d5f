#include "Corvane/cli/CommandLine.h"
#include "Corvane/cli/CommandLineError.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

// Without --headless the agent runs with its window; it takes the headless agent's options and
// refuses what that refuses.
TEST(WindowCommandLine, TheWindowTakesTheAgentsOptions) {
    CommandLine line = CommandLine::parse({});
    EXPECT_EQ(line.mode, CommandLine::Mode::Window);
    EXPECT_TRUE(line.scenario.isEmpty());

    line = CommandLine::parse({QStringLiteral("--platform"), QStringLiteral("sim"),
                               QStringLiteral("--scenario=s.json"), QStringLiteral("--relay"),
                               QStringLiteral("https://relay.test"), QStringLiteral("--relay-ca"),
                               QStringLiteral("ca.pem")});
    EXPECT_EQ(line.mode, CommandLine::Mode::Window);
    EXPECT_EQ(line.scenario, QStringLiteral("s.json"));
    EXPECT_EQ(line.relay, QStringLiteral("https://relay.test"));
    EXPECT_EQ(line.relayCA, QStringLiteral("ca.pem"));

    EXPECT_EQ(CommandLine::parse({QStringLiteral("--headless")}).mode, CommandLine::Mode::Headless);
    for (const QStringList& refused :
         {QStringList{QStringLiteral("--relay-ca"), QStringLiteral("ca.pem")},
          QStringList{QStringLiteral("--platform"), QStringLiteral("mac")},
          QStringList{QStringLiteral("--scenario")}}) {
        EXPECT_THROW(CommandLine::parse(refused), CommandLineError)
            << refused.join(u' ').toStdString();
    }
}

} // namespace
} // namespace corvane
