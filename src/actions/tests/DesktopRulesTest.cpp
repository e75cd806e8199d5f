// The pure rules of desktop control: which window is observed, which on-screen window is
// captured at what size, how an image becomes a JPEG, where a click lands and how far a wheel
// scrolls.
#include "actions/CharacterPrefix.h"
#include "actions/DesktopInteraction.h"
#include "actions/DesktopWindows.h"
#include "actions/ScreenshotEncoder.h"
#include "actions/WindowCapture.h"

#include "support/FakePlatform.h"

#include <QPainter>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace corvane;
using test::outcomeOf;

namespace {

constexpr std::int32_t pid = 42;

ObservationWindow window(std::optional<AXSubrole> subrole = AXSubrole::StandardWindow,
                         std::int32_t owner = pid) {
    return ObservationWindow{owner, AXRoleTerm(AXRole::Window), subrole, false,
                             QRectF(10, 20, 800, 600)};
}

std::string chosen(const std::vector<ObservationWindow>& windows,
                   std::optional<std::size_t> focused, std::optional<std::size_t> main) {
    std::size_t index = 0;
    const std::string outcome = outcomeOf(
        [&] { index = DesktopWindows::observationWindowIndex(windows, pid, focused, main); });
    return outcome == "ok" ? std::to_string(index) : outcome;
}

TEST(DesktopRules, TheObservedWindowIsTheFocusedOneOrTheOnlyStandardOne) {
    ObservationWindow minimised = window();
    minimised.minimized = true;
    ObservationWindow unknownMinimised = window();
    unknownMinimised.minimized.reset();
    ObservationWindow flat = window();
    flat.bounds = QRectF(0, 0, 800, 0);
    ObservationWindow infinite = window();
    infinite.bounds = QRectF(0, 0, std::numeric_limits<double>::infinity(), 10);
    ObservationWindow frameless = window();
    frameless.bounds.reset();
    ObservationWindow notAWindow = window();
    notAWindow.role = AXRole::Group;
    ObservationWindow roleless = window();
    roleless.role.reset();
    const ObservationWindow sheet = window(AXSubrole::Dialog);
    const ObservationWindow dialog = window(AXSubrole::SystemDialog);
    const ObservationWindow foreign = window(AXSubrole::StandardWindow, 7);
    const ObservationWindow foreignDialog = window(AXSubrole::SystemDialog, 7);
    const std::nullopt_t none = std::nullopt;
    const char* const unavailable = "desktop_window_unavailable";
    const char* const protectedUI = "desktop_protected_ui";

    struct Row {
        const char* name;
        std::vector<ObservationWindow> windows;
        std::optional<std::size_t> focused;
        std::optional<std::size_t> main;
        const char* expected;
    } const rows[] = {
        {"focused", {window()}, 0, none, "0"},
        {"focused of another process", {foreign}, 0, none, protectedUI},
        {"focused system dialog", {dialog}, 0, none, protectedUI},
        {"focused but minimised", {minimised}, 0, none, unavailable},
        {"focused, minimised unknown", {unknownMinimised}, 0, none, unavailable},
        {"focused without height", {flat}, 0, none, unavailable},
        {"focused with an infinite frame", {infinite}, 0, none, unavailable},
        {"focused without frame", {frameless}, 0, none, unavailable},
        {"focused, not a window", {notAWindow}, 0, none, unavailable},
        {"focused, without a role", {roleless}, 0, none, unavailable},
        // A focused window need not be a standard one: a sheet in front is what the person sees.
        {"focused sheet", {sheet}, 0, none, "0"},
        {"focused index out of range", {window()}, 5, none, "0"},
        {"two standard, no focus, no main", {window(), window()}, none, none, unavailable},
        {"one standard", {sheet, window()}, none, none, "1"},
        {"the main one of two", {window(), window()}, none, 1, "1"},
        {"a main that is not standard", {sheet, window()}, none, 0, "1"},
        {"a main that is minimised", {minimised, window()}, none, 0, "1"},
        {"other processes' windows do not count", {foreign, window()}, none, none, "1"},
        {"a system dialog first", {dialog, window()}, none, 1, protectedUI},
        {"another process's dialog last", {window(), foreignDialog}, none, 0, protectedUI},
        {"none", {}, none, none, unavailable},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(chosen(row.windows, row.focused, row.main), row.expected) << row.name;
    }
}

TEST(DesktopRules, TheCapturedWindowMatchesByFrameThenByTitle) {
    const QRectF frame(100, 50, 1600, 1000);
    const auto at = [](std::uint32_t id, QRectF bounds, std::optional<std::string> title = {},
                       std::int64_t layer = 0) {
        return CaptureWindow{id, bounds, layer, title, std::nullopt};
    };
    // A window inside a decorated frame: the toolkit may report either area.
    const QRectF inner(101, 74, 1598, 975);
    const auto framed = [](std::uint32_t id, QRectF bounds, std::uint32_t frameID,
                           QRectF frameBounds, std::optional<std::string> title = {}) {
        return CaptureWindow{id, bounds, 0, title, ScreenCapture::Frame{frameID, frameBounds}};
    };
    struct Row {
        const char* name;
        std::vector<CaptureWindow> windows;
        std::string title;
        std::optional<std::uint32_t> expected;
    } const rows[] = {
        {"exact", {at(1, frame)}, "", 1},
        {"2.9 points off everywhere", {at(1, QRectF(102.9, 52.9, 1602.9, 1002.9))}, "", 1},
        {"3 points off in x", {at(1, QRectF(103, 50, 1600, 1000))}, "", std::nullopt},
        {"a panel above, same frame", {at(1, frame, "A", 3), at(2, frame, "A")}, "", 2},
        {"two alike, told by title",
         {at(1, frame, "Notes"), at(2, frame, "Shopping")},
         "Shopping",
         2},
        {"two alike, no title to tell",
         {at(1, frame, "Notes"), at(2, frame, "Shopping")},
         "",
         std::nullopt},
        {"two alike, same title",
         {at(1, frame, "Notes"), at(2, frame, "Notes")},
         "Notes",
         std::nullopt},
        {"two alike, title of neither", {at(1, frame, "A"), at(2, frame, "B")}, "C", std::nullopt},
        {"title compared exactly",
         {at(1, frame, "notes"), at(2, frame, "Notes ")},
         "Notes",
         std::nullopt},
        {"by its frame: the frame is captured", {framed(1, inner, 11, frame)}, "", 11},
        {"by its own area: the window is captured", {framed(1, frame, 11, inner)}, "", 1},
        {"its area and frame alike: one match", {framed(1, frame, 11, frame)}, "", 1},
        {"one by area, one by frame, told by title",
         {at(1, frame, "Notes"), framed(2, inner, 12, frame, "Shopping")},
         "Shopping",
         12},
        {"neither area nor frame",
         {framed(1, inner, 11, QRectF(100, 50, 1600, 1030))},
         "",
         std::nullopt},
        {"none", {}, "x", std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(WindowCapture::captureWindow(row.windows, frame, row.title), row.expected)
            << row.name;
    }

    struct SizeRow {
        QRectF frame;
        QSize expected;
    } const sizes[] = {
        {QRectF(0, 0, 1600, 1000), QSize(640, 400)},
        {QRectF(0, 0, 100, 50), QSize(100, 50)}, // never enlarged
        {QRectF(0, 0, 640, 640), QSize(640, 640)},
        {QRectF(0, 0, 1000, 1601), QSize(399, 640)},
        {QRectF(0, 0, 3000, 1), QSize(640, 1)}, // at least one pixel
        {QRectF(0, 0, 0.4, 0.4), QSize(1, 1)},
    };
    for (const SizeRow& row : sizes) {
        EXPECT_EQ(WindowCapture::captureSize(row.frame), row.expected) << row.frame.width();
    }
}

// Many small coloured letters and noise, the worst case for a JPEG.
QImage busyImage(QSize size) {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    QRandomGenerator random(7);
    for (int y = 0; y < size.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            line[x] = qRgb(random.bounded(256), random.bounded(256), random.bounded(256));
        }
    }
    return image;
}

QImage decoded(const ScreenshotEncoder::Encoded& encoded) {
    return QImage::fromData(encoded.jpeg, "JPEG");
}

TEST(DesktopRules, ScreenshotsFollowTheLadderAndNeverGrow) {
    // A plain window fits at once, at 640 on its long edge.
    QImage plain(1600, 1000, QImage::Format_ARGB32_Premultiplied);
    plain.fill(QColor(30, 90, 200));
    const ScreenshotEncoder::Encoded large = ScreenshotEncoder::encodeScreenshot(plain, 24000);
    EXPECT_EQ(large.size, QSize(640, 400));
    EXPECT_EQ(large.steps, 1);
    EXPECT_LE(large.jpeg.size(), 24000);
    EXPECT_EQ(decoded(large).size(), QSize(640, 400));
    EXPECT_TRUE(large.jpeg.startsWith("\xFF\xD8\xFF"));

    QImage small(100, 50, QImage::Format_ARGB32_Premultiplied);
    small.fill(Qt::darkGreen);
    EXPECT_EQ(ScreenshotEncoder::encodeScreenshot(small, 24000).size, QSize(100, 50));

    // Transparent areas come out white, not black.
    QImage transparent(200, 100, QImage::Format_ARGB32_Premultiplied);
    transparent.fill(Qt::transparent);
    const QImage white = decoded(ScreenshotEncoder::encodeScreenshot(transparent, 24000));
    ASSERT_FALSE(white.isNull());
    const QColor corner = white.pixelColor(5, 5);
    EXPECT_GE(std::min({corner.red(), corner.green(), corner.blue()}), 250);

    // Noise: the ladder goes down until the bytes fit, and a step is always a smaller size or
    // quality than the one before.
    const QImage noise = busyImage(QSize(800, 500));
    const ScreenshotEncoder::Encoded fitted = ScreenshotEncoder::encodeScreenshot(noise, 24000);
    EXPECT_GT(fitted.steps, 3);
    EXPECT_LT(fitted.size.width(), 640);
    EXPECT_LE(fitted.jpeg.size(), 24000);
    EXPECT_EQ(decoded(fitted).size(), fitted.size);
    const int longEdge = std::max(fitted.size.width(), fitted.size.height());
    EXPECT_NE(std::find(ScreenshotEncoder::longEdges.begin(), ScreenshotEncoder::longEdges.end(),
                        longEdge),
              ScreenshotEncoder::longEdges.end())
        << longEdge;
    EXPECT_EQ(fitted.size.width() * 5, fitted.size.height() * 8) << "proportions kept";

    // An image that fits nowhere: all 18 steps tried.
    EXPECT_EQ(outcomeOf([&] { ScreenshotEncoder::encodeScreenshot(noise, 200); }),
              "desktop_image_too_large");
    EXPECT_EQ(outcomeOf([&] { ScreenshotEncoder::encodeScreenshot(QImage(), 24000); }),
              "desktop_image_too_large");
}

TEST(DesktopRules, ClicksMapFromImageToScreenAndWheelsScrollByThreeQuarters) {
    EXPECT_EQ(
        DesktopInteraction::clickPoint(QSizeF(640, 400), QRectF(100, 50, 1280, 800), 320, 200),
        QPointF(740, 450));
    EXPECT_EQ(DesktopInteraction::clickPoint(QSizeF(640, 400), QRectF(100, 50, 1280, 800), 0, 0),
              QPointF(100, 50));
    EXPECT_EQ(DesktopInteraction::clickPoint(QSizeF(100, 50), QRectF(-200, 10, 100, 50), 99.5, 49),
              QPointF(-100.5, 59));

    struct Row {
        double height;
        bool up;
        std::int32_t expected;
    } const rows[] = {
        {100, false, -100}, // 75 raised to the minimum
        {1000, false, -600},  {400, true, 300},
        {133.5, true, 100},   {135, true, 101}, // whole pixels, cut
        {800.0, false, -600},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(DesktopInteraction::scrollAmount(row.height, row.up), row.expected) << row.height;
    }

    using Chord = DesktopInteraction::Chord;
    EXPECT_EQ(DesktopInteraction::keyNamed("select_all"),
              (Chord{Input::Key::A, {.command = true}}));
    EXPECT_EQ(DesktopInteraction::keyNamed("return"), (Chord{Input::Key::Return, {}}));
    EXPECT_EQ(DesktopInteraction::keyNamed("enter"), std::nullopt);
    EXPECT_EQ(DesktopInteraction::keyNamed("Return"), std::nullopt);
    EXPECT_EQ(DesktopInteraction::keyNamed(""), std::nullopt);
}

TEST(DesktopRules, TextsAreCountedInCharacters) {
    const std::string e = "e\xCC\x81"; // e + combining acute: one character, two code points
    std::string accented;
    for (int i = 0; i < 2000; ++i) {
        accented += e;
    }
    struct Row {
        std::string text;
        std::size_t limit;
        std::size_t expected;
    } const rows[] = {
        {"", 10, 0},
        {"abc", 10, 3},
        {"abcdef", 2, 3}, // stops one past the limit
        {accented, 2000, 2000},
        {accented + "x", 2000, 2001},
        {"a\r\nb", 10, 3},
        {"\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", 10, 1}, // a flag
    };
    for (const Row& row : rows) {
        EXPECT_EQ(characterCount(row.text, row.limit), row.expected) << row.text.size();
    }
}

} // namespace
