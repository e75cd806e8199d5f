// "desktop_observe" through the executor on the default scenario: it takes its turn among the
// actions that change the computer. (Observing with an image and pressing a control through the
// whole program is the desktop end-to-end test's.)
#include "CorvaneNative/ActionExecutor.h"

#include "DesktopFixture.h"

#include <QFile>

using namespace std::chrono_literals;
using namespace corvane;
using namespace corvane::desktop_test;

namespace {

class DesktopExecutorTest : public DesktopFixture {
protected:
    void SetUp() override {
        QFile file(QStringLiteral(CORVANE_DEFAULT_SCENARIO));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        load(file.readAll().toStdString());
        executor = std::make_unique<ActionExecutor>(*platform);
        defaults.setBool(std::string(DesktopControl::consentKey), true);
    }

    std::unique_ptr<ActionExecutor> executor;
};

// Both change the computer (activation, input), so they take the turn of every such action.
TEST_F(DesktopExecutorTest, ObservationsWaitTheirTurn) {
    const auto quit = watch(executor->executeGuarded(
        "quit_app", JSON::parse(R"({"bundle_id":"com.apple.TextEdit"})"), {}));
    const auto observation =
        watch(executor->executeGuarded("desktop_observe", JSON::parse("{}"), {}));
    EXPECT_FALSE(observation->done);
    EXPECT_FALSE(executor->desktop().observing());
    finish(quit);
    finish(observation);
    EXPECT_EQ(quit->outcome, "quit_pending_user_attention");
    // TextEdit shows its save sheet meanwhile; the sheet is part of the window observed.
    EXPECT_EQ(observation->outcome.front(), '{') << observation->outcome;
    EXPECT_NE(observation->outcome.find("Don\u2019t Save"), std::string::npos);
}

} // namespace
