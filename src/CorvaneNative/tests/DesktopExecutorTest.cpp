// "desktop_observe" and "desktop_act" through the executor on the default scenario: the front
// application (TextEdit) observed with its image and one of its controls pressed.
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

    std::string run(const std::string& action, JSON params) {
        const auto probe = watch(executor->executeGuarded(action, std::move(params), {}));
        finish(probe);
        return probe->outcome;
    }

    std::unique_ptr<ActionExecutor> executor;
};

TEST_F(DesktopExecutorTest, ObservesTheFrontWindowAndPressesOneOfItsControls) {
    const std::string observed = run("desktop_observe", JSON::parse(R"({"include_image":true})"));
    ASSERT_EQ(observed.front(), '{') << observed;
    last = JSON::parse(observed);
    EXPECT_EQ(*last.stringMember("bundle_id"), "com.apple.TextEdit");
    EXPECT_GE(last.find("elements")->array()->size(), 12u) << observed;
    const JSON& image = *last.find("image");
    EXPECT_EQ(image.find("width")->number(), 640.0);
    EXPECT_EQ(image.find("height")->number(), 457.0); // 700 × 500 points
    const QImage picture = QImage::fromData(
        QByteArray::fromBase64(QByteArray::fromStdString(*image.stringMember("base64"))), "JPEG");
    EXPECT_EQ(picture.size(), QSize(640, 457));

    const JSON params(JSON::Object{{"snapshot_id", JSON(snapshotID())},
                                   {"operation", JSON("press")},
                                   {"element_id", JSON(idOf("Italic"))}});
    EXPECT_EQ(run("desktop_act", params), "{}");
    EXPECT_EQ(attribute("textedit.italic", "AXValue"), PlatformValue(1));
    EXPECT_EQ(run("desktop_act", params), "desktop_snapshot_expired");

    // A locked screen runs neither: the gate refuses before desktop control is reached.
    mac->model().lockScreen();
    EXPECT_EQ(run("desktop_observe", JSON(JSON::Object{})), "device_locked");
    EXPECT_FALSE(executor->desktop().observing());
}

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
