// Window images and synthetic input on a real X display with a window manager (the wrapper starts
// both): windows of the test's own in known colours, covered by others, captured; keys, text,
// clicks and wheel turns sent to a window that writes down what it receives; and the real program's
// report of what it offers on X11 and in a Wayland session.

#include "DesktopServices.h"
#include "DesktopTestSupport.h"

#include "linuxdesktop/EwmhWindows.h"
#include "linuxdesktop/XCompositeScreenCapture.h"
#include "linuxdesktop/XTestInput.h"

#include <QProcess>

#include <xcb/xcb.h>

#include <gtest/gtest.h>

namespace corvane {
namespace {

using desktop_services::Service;
using desktop_test::waitUntil;

constexpr QRgb red = qRgb(220, 20, 20);
constexpr QRgb green = qRgb(0, 160, 80);
constexpr QRgb purple = qRgb(160, 40, 200);

bool near(QRgb a, QRgb b) {
    return std::abs(qRed(a) - qRed(b)) <= 8 && std::abs(qGreen(a) - qGreen(b)) <= 8 &&
           std::abs(qBlue(a) - qBlue(b)) <= 8;
}

std::string hex(QRgb colour) {
    return QColor(colour).name().toStdString();
}

// One window of X11EventWindow, its output collected line by line.
class EventWindow {
public:
    EventWindow(QRect geometry, QRgb colour) {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QStringLiteral(CORVANE_X11_EVENT_WINDOW),
                       {QStringLiteral("--place"),
                        QStringLiteral("%1,%2,%3,%4")
                            .arg(geometry.x())
                            .arg(geometry.y())
                            .arg(geometry.width())
                            .arg(geometry.height()),
                        QStringLiteral("--colour"), QColor(colour).name().mid(1)});
        process_.waitForStarted(10000);
    }
    ~EventWindow() {
        process_.kill();
        process_.waitForFinished(5000);
    }

    std::int32_t pid() const { return static_cast<std::int32_t>(process_.processId()); }
    void kill() {
        process_.kill();
        process_.waitForFinished(5000);
    }
    // Every line written so far.
    const QStringList& lines() {
        while (process_.canReadLine()) {
            QString line = QString::fromUtf8(process_.readLine());
            line.chop(line.endsWith(u'\n') ? 1 : 0);
            lines_ << line;
        }
        return lines_;
    }
    QString typed() {
        QString text;
        for (const QString& line : lines()) {
            if (line.startsWith(QStringLiteral("text "))) {
                text += line.mid(5);
            }
        }
        return text;
    }

private:
    QProcess process_;
    QStringList lines_;
};

class LinuxX11CaptureAndInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = desktop_test::unavailable("CORVANE_DISPLAY_UNAVAILABLE");
            !why.empty()) {
            GTEST_SKIP() << why;
        }
        if (std::getenv("DISPLAY") == nullptr) {
            GTEST_SKIP() << "no X display: run through run-with-desktop.sh";
        }
        desktop_test::ensureApplication();
    }

    std::vector<ScreenCapture::Window> windows() {
        const std::string outcome = desktop_test::finish(listed());
        (void)outcome;
        return lastList;
    }
    QCoro::Task<> listed() {
        auto answer = co_await capture.shareableWindows();
        lastList.clear();
        if (auto* list = std::get_if<std::vector<ScreenCapture::Window>>(&answer)) {
            lastList = *list;
        }
    }
    // The window of a process, once the window manager lists it.
    std::optional<ScreenCapture::Window> windowOf(std::int32_t pid) {
        std::optional<ScreenCapture::Window> found;
        waitUntil([&] {
            for (const ScreenCapture::Window& window : windows()) {
                if (window.ownerPid == pid) {
                    found = window;
                }
            }
            return found.has_value();
        });
        return found;
    }
    std::optional<QImage> image(std::uint32_t id, int width, int height) {
        const std::string outcome = desktop_test::finish(grab(id, width, height));
        (void)outcome;
        return lastImage;
    }
    QCoro::Task<> grab(std::uint32_t id, int width, int height) {
        lastImage = co_await capture.capture(id, width, height);
    }
    // The colour the screen shows at a point (what a person sees).
    static QRgb onScreen(QPoint at) {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        xcb_get_image_reply_t* reply = xcb_get_image_reply(
            c,
            xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, static_cast<std::int16_t>(at.x()),
                          static_cast<std::int16_t>(at.y()), 1, 1, ~0u),
            nullptr);
        QRgb colour = 0;
        if (reply != nullptr && xcb_get_image_data_length(reply) >= 4) {
            const std::uint8_t* p = xcb_get_image_data(reply);
            colour = qRgb(p[2], p[1], p[0]);
        }
        std::free(reply);
        xcb_disconnect(c);
        return colour;
    }

    XCompositeScreenCapture capture;
    std::vector<ScreenCapture::Window> lastList;
    std::optional<QImage> lastImage;
};

TEST_F(LinuxX11CaptureAndInputTest, CapturesAWindowWholeWhereAnotherCoversIt) {
    EventWindow target(QRect(100, 100, 300, 200), green);
    const std::optional<ScreenCapture::Window> listed = windowOf(target.pid());
    ASSERT_TRUE(listed);
    EventWindow cover(QRect(250, 150, 300, 200), purple);
    ASSERT_TRUE(windowOf(cover.pid()));
    const QRectF bounds = listed->bounds;
    EXPECT_EQ(bounds.size(), QSizeF(300, 200));
    EXPECT_EQ(listed->title, "Event window " + hex(green));
    EXPECT_EQ(listed->layer, 0);
    // The lower right of the target is behind the cover on screen.
    const QPoint hidden = (bounds.topLeft() + QPointF(220, 150)).toPoint();
    ASSERT_TRUE(waitUntil([&] { return near(onScreen(hidden), purple); })) << hex(onScreen(hidden));

    // The first image already: the capture waits for what the cover hid to be repainted.
    const std::optional<QImage> whole = image(listed->id, 300, 200);
    ASSERT_TRUE(whole);
    EXPECT_TRUE(near(whole->pixel(220, 150), green)) << hex(whole->pixel(220, 150));
    EXPECT_EQ(whole->size(), QSize(300, 200));
    EXPECT_TRUE(near(whole->pixel(20, 20), red)) << hex(whole->pixel(20, 20));
    EXPECT_TRUE(near(whole->pixel(280, 20), green)) << hex(whole->pixel(280, 20));
    EXPECT_TRUE(near(whole->pixel(20, 180), green)) << hex(whole->pixel(20, 180));

    // Scaled as asked, the same picture.
    const std::optional<QImage> half = image(listed->id, 150, 100);
    ASSERT_TRUE(half);
    EXPECT_EQ(half->size(), QSize(150, 100));
    EXPECT_TRUE(near(half->pixel(10, 10), red));
    EXPECT_TRUE(near(half->pixel(110, 75), green));

    // The window manager's frame around it, captured whole: the window sits inside it exactly
    // where the two listed areas say, the decoration around it.
    ASSERT_TRUE(listed->frame);
    const QRect frame = listed->frame->bounds.toRect();
    EXPECT_TRUE(frame.contains(bounds.toRect()) && frame.size() != bounds.size().toSize())
        << frame.x() << "," << frame.y() << " " << frame.width() << "x" << frame.height();
    const std::optional<QImage> framed = image(listed->frame->id, frame.width(), frame.height());
    ASSERT_TRUE(framed);
    EXPECT_EQ(framed->size(), frame.size());
    const QPoint inside = bounds.topLeft().toPoint() - frame.topLeft();
    for (const QPoint at : {inside, inside + QPoint(149, 99)}) {
        EXPECT_TRUE(near(framed->pixel(at), red)) << hex(framed->pixel(at));
    }
    EXPECT_FALSE(near(framed->pixel(inside - QPoint(1, 1)), red));
    EXPECT_TRUE(near(framed->pixel(inside + QPoint(220, 150)), green));

    // Sizes no image has, a window that never was, and one that went: no image, no harm.
    EXPECT_FALSE(image(listed->id, 0, 100));
    EXPECT_FALSE(image(listed->id, 100, XCompositeScreenCapture::sideLimit + 1));
    EXPECT_FALSE(image(0x7ffffff0u, 100, 100));
    target.kill();
    ASSERT_TRUE(waitUntil([&] {
        const auto list = windows();
        return std::none_of(list.begin(), list.end(),
                            [&](const auto& w) { return w.id == listed->id; });
    }));
    EXPECT_FALSE(image(listed->id, 300, 200));
}

TEST_F(LinuxX11CaptureAndInputTest, KeysTextClicksAndWheelReachTheWindow) {
    EventWindow window(QRect(120, 120, 320, 240), green);
    const std::optional<ScreenCapture::Window> listed = windowOf(window.pid());
    ASSERT_TRUE(listed);
    EwmhWindows ewmh;
    ASSERT_TRUE(ewmh.requestActivate(listed->id));
    ASSERT_TRUE(waitUntil([&] { return ewmh.activeWindow() == listed->id; }));

    XTestInput input;
    // Events that cannot be made are refused before anything is queued.
    EXPECT_FALSE(input.typeText("bad \xff utf-8", window.pid()));
    EXPECT_FALSE(input.typeText("bell \a", window.pid()));
    EXPECT_FALSE(input.click(std::nan(""), 10, Input::MouseButton::Left, 1));
    EXPECT_FALSE(input.click(10, 1e9, Input::MouseButton::Left, 1));
    EXPECT_FALSE(input.click(10, 10, Input::MouseButton::Left, 0));
    EXPECT_FALSE(input.scroll(std::numeric_limits<double>::infinity(), 10, 100));

    // Keys meant for another process do not go to the window in front.
    EXPECT_TRUE(input.typeText("lost", 1));
    EXPECT_TRUE(input.pressKey(Input::Key::Return, {}, window.pid()));
    EXPECT_TRUE(input.pressKey(Input::Key::A, {.command = true}, window.pid()));
    EXPECT_TRUE(input.typeText("H\u00e9\u20ac a\u00e5\u4e2d", window.pid()));
    EXPECT_TRUE(waitUntil([&] { return window.typed() == QStringLiteral("Hé€ aå中"); }))
        << window.typed().toStdString();

    // Each pointer action once the one before arrived, as commands come one at a time.
    const auto received = [&window](const QString& line, qsizetype times = 1) {
        return waitUntil([&] { return window.lines().count(line) >= times; });
    };
    const QPoint centre = listed->bounds.center().toPoint();
    const QPoint aside = centre + QPoint(60, 40);
    const QString left = QStringLiteral("press left %1 %2").arg(centre.x()).arg(centre.y());
    EXPECT_TRUE(input.click(centre.x(), centre.y(), Input::MouseButton::Left, 1));
    EXPECT_TRUE(received(left));
    const QString right = QStringLiteral("press right %1 %2").arg(aside.x()).arg(aside.y());
    EXPECT_TRUE(input.click(aside.x(), aside.y(), Input::MouseButton::Right, 2));
    EXPECT_TRUE(received(QStringLiteral("double")));
    EXPECT_TRUE(input.scroll(centre.x(), centre.y(), 100));
    EXPECT_TRUE(received(QStringLiteral("wheel up"), 2));
    EXPECT_TRUE(input.scroll(centre.x(), centre.y(), -20));
    EXPECT_TRUE(received(QStringLiteral("wheel down")));

    QStringList others;
    for (const QString& line : window.lines()) {
        if (!line.startsWith(QStringLiteral("text "))) {
            others << line;
        }
    }
    const QStringList expected{QStringLiteral("key 1000004"),
                               QStringLiteral("key 41 control"),
                               left,
                               right,
                               right,
                               QStringLiteral("double"),
                               QStringLiteral("wheel up"),
                               QStringLiteral("wheel up"),
                               QStringLiteral("wheel down")};
    EXPECT_EQ(others.join(u'\n').toStdString(), expected.join(u'\n').toStdString());
}

// The real program tells what it leaves out at start: on X11 window images are offered; in a
// Wayland session they are not, and the reason is given.
TEST_F(LinuxX11CaptureAndInputTest, TheProgramReportsImagesAndInputBySessionType) {
    const auto notOffered = [](const QStringList& environment) {
        Service agent(
            QStringLiteral(VELTO_PROGRAM),
            {QStringLiteral("--headless"), QStringLiteral("--platform"), QStringLiteral("linux")},
            environment);
        QString output;
        waitUntil(
            [&] {
                output += QString::fromUtf8(agent.process().readAllStandardError());
                return output.contains(QStringLiteral("not offered here")) || !agent.running();
            },
            std::chrono::seconds(15));
        agent.stop();
        output += QString::fromUtf8(agent.process().readAllStandardError());
        QStringList lines;
        for (const QString& line : output.split(u'\n')) {
            if (line.contains(QStringLiteral("not offered here"))) {
                lines << line;
            }
        }
        return lines.join(u'\n').toStdString();
    };
    const std::string x11 = notOffered({QStringLiteral("XDG_SESSION_TYPE=x11")});
    EXPECT_EQ(x11.find("desktop_images"), std::string::npos) << x11;
    const std::string wayland = notOffered(
        {QStringLiteral("WAYLAND_DISPLAY=wayland-0"), QStringLiteral("XDG_SESSION_TYPE=wayland")});
    EXPECT_NE(wayland.find("(a Wayland session"), std::string::npos) << wayland;
    EXPECT_NE(wayland.find("desktop_images"), std::string::npos) << wayland;
}

} // namespace
} // namespace corvane
