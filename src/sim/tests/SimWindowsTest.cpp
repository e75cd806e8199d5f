// The window server: on-screen windows with their layers, painted captures, and the one-shot
// reactions a scenario attaches to being read and captured.
#include "SimFixture.h"
#include "sim/SimulatedMac.h"

#include <QCoro/QCoroTask>

namespace corvane {
namespace {

// One application in front with one window: a button whose first reading retitles the window,
// a window that moves once captured, and a floating panel above it.
const char* const scenario = R"({"apps": [
    {"path": "Applications/Editor.app", "bundle": {"CFBundleIdentifier": "com.example.editor"},
     "running": [{"pid": 500}],
     "ui": {"windows": [
        {"id": "w", "role": "AXWindow", "subrole": "AXStandardWindow", "title": "Doc",
         "frame": [100, 50, 400, 300], "color": "#ffffff",
         "on_capture": [{"set": {"target": "w", "attribute": "AXPosition",
                                 "value": {"$point": [110, 50]}}}],
         "children": [
            {"id": "ok", "role": "AXButton", "title": "OK", "frame": [120, 100, 100, 40],
             "on_read": [{"set": {"target": "w", "attribute": "AXTitle", "value": "Doc 2"}},
                         {"raise": "other"}]},
            {"id": "field", "role": "AXTextField", "value": "typed", "frame": [240, 100, 200, 40]}]},
        {"id": "panel", "role": "AXWindow", "subrole": "AXFloatingWindow", "layer": 3,
         "frame": [100, 50, 400, 300]}],
        "focused_window": "w"}},
    {"path": "Applications/Other.app", "bundle": {"CFBundleIdentifier": "com.example.other"},
     "running": [{"pid": 600}],
     "ui": {"windows": [{"id": "other", "role": "AXWindow", "frame": [0, 0, 50, 50]}]}}],
    "frontmost": 500})";

class SimWindowsTest : public SimFixture {
public:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        mac = std::make_unique<SimulatedMac>(root.path());
        mac->load(scenario);
    }
};

TEST_F(SimWindowsTest, ReadingAnElementRunsItsReactionOnce) {
    MacAccessibility& ax = macPorts().accessibility;
    EXPECT_EQ(text(named("w"), "AXTitle"), "Doc");
    // The reading itself sees the state before the reaction.
    EXPECT_EQ(text(named("ok"), "AXTitle"), "OK");
    EXPECT_EQ(text(named("w"), "AXTitle"), "Doc 2");
    EXPECT_EQ(platform().workspace.frontmostApplication()->pid, 600);
    // Once only.
    ax.attribute(named("w"), "AXTitle");
    model().setFrontmost(500);
    EXPECT_TRUE(ax.actionNames(named("ok")));
    EXPECT_EQ(platform().workspace.frontmostApplication()->pid, 500);
    // The control channel's view of the state reads nothing through the port.
    EXPECT_TRUE(model().dump().isObject());

    // Without trust nothing is read, and nothing reacts.
    mac->load(scenario);
    model().put({"accessibility", "trusted"}, JSON(false));
    EXPECT_FALSE(ax.attribute(named("ok"), "AXTitle"));
    model().put({"accessibility", "trusted"}, JSON(true));
    EXPECT_EQ(text(named("w"), "AXTitle"), "Doc");
}

TEST_F(SimWindowsTest, CapturesListLayersPaintControlsAndReactOnce) {
    ScreenCapture& capture = platform().screenCapture;
    const auto listed = QCoro::waitFor(capture.shareableWindows());
    const auto& windows = std::get<std::vector<ScreenCapture::Window>>(listed);
    ASSERT_EQ(windows.size(), 3u);
    EXPECT_EQ(windows[0].title, "Doc");
    EXPECT_EQ(windows[0].layer, 0);
    EXPECT_EQ(windows[1].layer, 3);
    EXPECT_EQ(windows[1].title, std::nullopt);
    EXPECT_EQ(windows[2].ownerPid, 600);

    const std::optional<QImage> image = QCoro::waitFor(capture.capture(windows[0].id, 200, 150));
    ASSERT_TRUE(image);
    // The window's own colour, the button's fill and the field's white; the title bar on top.
    EXPECT_EQ(image->pixelColor(180, 140), QColor(Qt::white));
    EXPECT_NE(image->pixelColor(15, 30), QColor(Qt::white)) << "button";
    EXPECT_NE(image->pixelColor(100, 5), QColor(Qt::white)) << "title bar";
    // The window moved once it had been captured, and only after the first capture.
    EXPECT_EQ(macPorts().accessibility.attribute(named("w"), "AXPosition"),
              PlatformValue(QPointF(110, 50)));
    model().with([](SimParts& m) {
        m.tree.element(*m.tree.named("w"))
            ->attributes.insert_or_assign("AXPosition", PlatformValue(QPointF(100, 50)));
    });
    QCoro::waitFor(capture.capture(windows[0].id, 200, 150));
    EXPECT_EQ(macPorts().accessibility.attribute(named("w"), "AXPosition"),
              PlatformValue(QPointF(100, 50)));
    EXPECT_EQ(eventsOfKind("capture").size(), 2u);
}

} // namespace
} // namespace corvane
