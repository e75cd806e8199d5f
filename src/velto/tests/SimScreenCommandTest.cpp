// `velto sim screen STATE` against the real simulated Mac: each state must be the one the agent's
// lock-state reader then sees, from any state before it.
#include "sim/SimControlCommands.h"
#include "sim/SimulatedMac.h"
#include "velto/CommandLine.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(SimScreenCommand, EveryStateIsWhatTheLockReaderSeesFromEveryOther) {
    QTemporaryDir root;
    SimulatedMac mac(root.path());
    mac.loadFile(QStringLiteral(VELTO_DEFAULT_SCENARIO));
    const Platform platform = mac.platform();
    ASSERT_EQ(platform.sessionLock.state(), ScreenState::Unlocked);

    const std::pair<const char*, ScreenState> states[] = {
        {"locked", ScreenState::Locked},
        {"unlocked", ScreenState::Unlocked},
        {"inactive", ScreenState::Inactive},
        {"unknown", ScreenState::Unknown},
    };
    const auto apply = [&](const char* state) {
        const CommandLine line = CommandLine::parse(
            {QStringLiteral("sim"), QStringLiteral("screen"), QString::fromUtf8(state)});
        for (const JSON& command : line.simCommands) {
            const JSON answer = mac.commands().handle(command);
            ASSERT_TRUE(answer.find("ok")->isTrue()) << answer.data();
        }
    };
    for (const auto& [from, fromState] : states) {
        for (const auto& [to, expected] : states) {
            SCOPED_TRACE(std::string(from) + " -> " + to);
            apply(from);
            ASSERT_EQ(platform.sessionLock.state(), fromState);
            apply(to);
            EXPECT_EQ(platform.sessionLock.state(), expected);
        }
    }
}

} // namespace
} // namespace corvane
