// The image of "desktop_observe" on the simulated Mac: which window is captured at what size,
// the JPEG in the result, and the checks around each suspension.
#include "actions/WindowCapture.h"

#include "DesktopFixture.h"

#include <QImage>

using namespace std::chrono_literals;
using namespace corvane;
using namespace corvane::desktop_test;

namespace {

const std::string withImage = R"({"include_image": true})";

// The editor's window with its frame replaced, holding one button.
std::string framed(const std::string& frame, const std::string& window = "",
                   const std::string& more = "", const std::string& button = "") {
    std::string scenario =
        editorScenario(R"({"role": "AXButton", "title": "OK", "frame": [120, 100, 80, 30])" +
                           (button.empty() ? "" : ", " + button) + "}",
                       window, R"("focused_window": "w")", more);
    const std::string original = "[100, 50, 1280, 800]";
    return scenario.replace(scenario.find(original), original.size(), frame);
}

class DesktopCaptureTest : public DesktopFixture {
protected:
    QImage image() const {
        const JSON* member = last.find("image");
        if (member == nullptr) {
            return {};
        }
        return QImage::fromData(
            QByteArray::fromBase64(QByteArray::fromStdString(*member->stringMember("base64"))),
            "JPEG");
    }
};

// The size chosen and the encoding are DesktopRules' tables; here, that they reach the result.
TEST_F(DesktopCaptureTest, TheWindowIsCapturedAtMost640PixelsWideAndSentAsJPEG) {
    load(framed("[100, 50, 1600, 1000]"));
    ASSERT_EQ(observe(withImage).front(), '{');
    const std::vector<JSON> captures = events("capture");
    ASSERT_EQ(captures.size(), 1u);
    EXPECT_EQ(captures[0].find("width")->number(), 640.0);
    EXPECT_EQ(captures[0].find("height")->number(), 400.0);

    const JSON& member = *last.find("image");
    EXPECT_EQ(*member.stringMember("mime_type"), "image/jpeg");
    EXPECT_EQ(member.find("width")->number(), 640.0);
    EXPECT_EQ(member.find("height")->number(), 400.0);
    EXPECT_EQ(image().size(), QSize(640, 400));
    EXPECT_LE(
        QByteArray::fromBase64(QByteArray::fromStdString(*member.stringMember("base64"))).size(),
        24000);
    EXPECT_EQ(desktop->snapshot().imageSize, QSizeF(640, 400));
    EXPECT_EQ(desktop->snapshot().imageBounds, QRectF(100, 50, 1600, 1000));
}

TEST_F(DesktopCaptureTest, WindowsOfTheSameFrameAreToldApartByTitle) {
    const std::string twin = R"(, {"id": "w2", "role": "AXWindow", "subrole": "AXStandardWindow",
                                   "title": "TITLE", "frame": [100, 50, 1280, 800],
                                   "color": "#102030"})";
    load(framed("[100, 50, 1280, 800]", R"("color": "#ffffff")",
                std::string(twin).replace(twin.find("TITLE"), 5, "Notes")));
    ASSERT_EQ(observe(withImage).front(), '{');
    EXPECT_EQ(events("capture")[0].find("window")->number(),
              double(mac->model().named("w")->token()));
    // A white window, not the dark twin.
    EXPECT_GT(image().pixelColor(300, 300).lightness(), 240);

    // The same title: nothing tells them apart, and the retries end at the deadline.
    load(framed("[100, 50, 1280, 800]", "",
                std::string(twin).replace(twin.find("TITLE"), 5, "Doc")));
    const auto start = clock.monotonicNow();
    EXPECT_EQ(observe(withImage), "desktop_capture_window_mismatch");
    EXPECT_GE(clock.monotonicNow() - start, 2000ms);
    EXPECT_LT(clock.monotonicNow() - start, 2200ms);
    EXPECT_TRUE(events("capture").empty());
    EXPECT_FALSE(desktop->snapshotID());
}

TEST_F(DesktopCaptureTest, TheWindowMustStayPutAndTitledWhileCaptured) {
    const auto movedTo = [](const char* x) {
        return std::string(R"("on_capture": [{"set": {"target": "w", "attribute": "AXPosition",
                                                       "value": {"$point": [)") +
               x + R"(, 50]}}}])";
    };
    struct Row {
        const char* name;
        std::string window;
        const char* expected;
        std::string button = "";
    } const rows[] = {
        {"moved by 2.9 points", movedTo("102.9"), "ok"},
        {"moved by 3 points", movedTo("103"), "desktop_focus_changed"},
        {"retitled",
         R"("on_capture": [{"set": {"target": "w", "attribute": "AXTitle", "value": "New"}}])",
         "desktop_focus_changed"},
        {"another application in front", R"("on_capture": [{"raise": "other"}])",
         "desktop_focus_changed"},
        {"minimised during the walk: no window on screen until the deadline", "",
         "desktop_capture_failed",
         R"("on_read": [{"set": {"target": "w", "attribute": "AXMinimized", "value": true}}])"},
    };
    for (const Row& row : rows) {
        load(framed("[100, 50, 1280, 800]", row.window, "", row.button));
        const std::string outcome = observe(withImage);
        EXPECT_EQ(outcome.front() == '{' ? "ok" : outcome, row.expected) << row.name;
        EXPECT_EQ(desktop->snapshotID().has_value(), outcome.front() == '{') << row.name;
    }
}

TEST_F(DesktopCaptureTest, CapturePermissionAndFailuresEndTheObservation) {
    struct Row {
        const char* setting;
        const char* expected;
    } const rows[] = {
        {"declined", "screen_recording_permission_required"},
        {"allowed", "screen_recording_permission_required"}, // set to false below
        {"capture_fails", "desktop_capture_failed"},
    };
    for (const Row& row : rows) {
        load(framed("[100, 50, 1280, 800]"));
        mac->model().put({"screen_capture", row.setting},
                         JSON(std::string(row.setting) != "allowed"));
        EXPECT_EQ(observe(withImage), row.expected) << row.setting;
        EXPECT_FALSE(desktop->snapshotID()) << row.setting;
        EXPECT_FALSE(desktop->observing());
    }
}

TEST_F(DesktopCaptureTest, TheControlMayGoWhileTheImageIsMade) {
    load(framed("[100, 50, 1600, 1000]"));
    const auto probe = watch(desktop->observe(JSON::parse(withImage)));
    // The capture was asked for; painting and encoding run on other threads, and the observation
    // waits for them.
    ASSERT_EQ(events("capture").size(), 1u);
    ASSERT_FALSE(probe->done);
    desktop.reset();
    finish(probe);
    EXPECT_EQ(probe->outcome, "session_changed");
}

} // namespace
