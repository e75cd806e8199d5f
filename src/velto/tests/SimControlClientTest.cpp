#include "velto/SimControlClient.h"

#include "LineServer.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace corvane {
namespace {

using test::LineServer;

std::vector<JSON> commands(std::initializer_list<const char*> names) {
    std::vector<JSON> out;
    for (const char* name : names) {
        out.push_back(JSON(JSON::Object{{"cmd", JSON(name)}}));
    }
    return out;
}

TEST(SimControlClient, SendsEveryCommandInOrderAndCollectsTheAnswers) {
    LineServer sim([](const std::string&) { return R"({"ok":true,"n":1})"; });
    const auto outcome = SimControlClient::run(sim.path(), commands({"patch", "lock"}));
    EXPECT_TRUE(outcome.ok()) << outcome.error;
    EXPECT_EQ(outcome.answers.size(), 2u);
    EXPECT_EQ(sim.received, (std::vector<std::string>{R"({"cmd":"patch"})", R"({"cmd":"lock"})"}));
}

TEST(SimControlClient, StopsAtTheFirstRefusalWithTheSimulatorsReason) {
    LineServer sim([](const std::string& line) {
        return line.find("patch") != std::string::npos ? R"({"ok":false,"error":"console: no"})"
                                                       : R"({"ok":true})";
    });
    const auto outcome = SimControlClient::run(sim.path(), commands({"patch", "lock"}));
    EXPECT_EQ(outcome.error, "console: no");
    EXPECT_EQ(sim.received.size(), 1u);
}

TEST(SimControlClient, BrokenOrMissingChannelsAreErrors) {
    for (const auto& [answer, error] : {std::pair<const char*, const char*>{"not json", "not JSON"},
                                        {"", "closed"},
                                        {R"({"answer":1})", ""}}) {
        SCOPED_TRACE(answer);
        LineServer sim([answer](const std::string&) { return answer; });
        const auto outcome = SimControlClient::run(sim.path(), commands({"ping"}));
        EXPECT_FALSE(outcome.ok());
        EXPECT_NE(outcome.error.find(error), std::string::npos) << outcome.error;
    }
    QTemporaryDir empty;
    const auto outcome =
        SimControlClient::run(empty.filePath(QStringLiteral("none.sock")), commands({"ping"}));
    EXPECT_NE(outcome.error.find("velto --headless"), std::string::npos) << outcome.error;
}

} // namespace
} // namespace corvane
