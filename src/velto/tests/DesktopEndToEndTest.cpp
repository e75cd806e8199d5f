// Desktop control of the real program on the default scenario: consent given at the terminal,
// the front window observed with its image through the loopback API, and one of its controls
// pressed.
#include "ProgramHome.h"

#include "core/JSON.h"

#include <QImage>

#include <gtest/gtest.h>

namespace corvane {
namespace {

using test::Outcome;
using DesktopEndToEnd = test::ProgramHome;

TEST_F(DesktopEndToEnd, ConsentAtTheTerminalThenObserveWithImageAndPress) {
    ASSERT_NE(startAgent(), 0);

    // Nothing is observed before consent, and declining at the terminal keeps it that way.
    const Outcome early = velto({"call", "desktop_observe"});
    EXPECT_EQ(early.exitCode, 1);
    EXPECT_NE(early.out.find("desktop_permission_required"), std::string::npos) << early.out;
    // The agent's sentence speaks of its window; this agent has none, and the hint says so.
    EXPECT_EQ(early.err, "velto call: desktop control is not on for this application. Turn it on "
                         "with 'velto desktop enable'.\n");
    const Outcome declined = velto({"desktop", "enable"}, "n\n");
    EXPECT_EQ(declined.exitCode, 1);
    EXPECT_NE(velto({"desktop", "status"}).out.find("Desktop control is off"), std::string::npos);

    const Outcome enabled = velto({"desktop", "enable", "--yes"});
    ASSERT_EQ(enabled.exitCode, 0) << enabled.err;
    EXPECT_NE(enabled.out.find("Desktop control enabled\nConsent: on\n"), std::string::npos)
        << enabled.out;

    const Outcome observed = velto({"call", "desktop_observe", R"({"include_image":true})"});
    ASSERT_EQ(observed.exitCode, 0) << observed.out << observed.err;
    const JSON snapshot = JSON::parse(observed.out);
    EXPECT_EQ(*snapshot.stringMember("bundle_id"), "com.apple.TextEdit");
    const JSON& image = *snapshot.find("image");
    const QByteArray jpeg =
        QByteArray::fromBase64(QByteArray::fromStdString(*image.stringMember("base64")));
    EXPECT_TRUE(jpeg.startsWith("\xFF\xD8\xFF"));
    const QImage decoded = QImage::fromData(jpeg, "JPEG");
    ASSERT_FALSE(decoded.isNull());
    EXPECT_EQ(decoded.width(), *image.find("width")->number());
    EXPECT_EQ(decoded.height(), *image.find("height")->number());
    EXPECT_LE(jpeg.size(), 24000);

    std::string bold;
    for (const JSON& element : *snapshot.find("elements")->array()) {
        if (*element.stringMember("label") == "Bold") {
            bold = *element.stringMember("element_id");
        }
    }
    ASSERT_FALSE(bold.empty()) << observed.out;
    const std::string press = JSON(JSON::Object{{"snapshot_id", *snapshot.find("snapshot_id")},
                                                {"operation", JSON("press")},
                                                {"element_id", JSON(bold)}})
                                  .data();
    const Outcome pressed = velto({"call", "desktop_act", press.c_str()});
    EXPECT_EQ(pressed.exitCode, 0) << pressed.out << pressed.err;
    EXPECT_EQ(pressed.out, "{}\n");
    const Outcome state = velto({"sim", "state"});
    ASSERT_EQ(state.exitCode, 0) << state.err;
    EXPECT_EQ(
        JSON::parse(state.out).find("elements")->find("textedit.bold")->find("AXValue")->data(),
        "1");
    // The snapshot is used up.
    const Outcome again = velto({"call", "desktop_act", press.c_str()});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.out.find("desktop_snapshot_expired"), std::string::npos) << again.out;

    // A limited grant, and the refusal of a protected application.
    const Outcome excluded = velto({"desktop", "grant", "com.apple.loginwindow"});
    EXPECT_EQ(excluded.exitCode, 1);
    EXPECT_NE(excluded.err.find("desktop_app_excluded"), std::string::npos) << excluded.err;
    const Outcome granted = velto({"desktop", "grant", "com.apple.TextEdit"});
    EXPECT_EQ(granted.exitCode, 0) << granted.err;
    EXPECT_NE(granted.out.find("Granted: com.apple.TextEdit until "), std::string::npos)
        << granted.out;
    EXPECT_EQ(velto({"desktop", "disable"}).exitCode, 0);
    const Outcome stopped = velto({"call", "desktop_observe"});
    EXPECT_NE(stopped.out.find("desktop_permission_required"), std::string::npos) << stopped.out;

    ASSERT_TRUE(stopAgent()) << err_;
    // Without a running agent there is nobody to ask.
    const Outcome gone = velto({"desktop", "status"});
    EXPECT_EQ(gone.exitCode, 1);
}

} // namespace
} // namespace corvane
