// What the X11 capture and input make of the server's bytes and the caller's text, without a
// display: image bytes in the layouts servers use and ones they must not send, text as keysyms,
// and a server that never answers.

#include "DesktopTestSupport.h"

#include "linuxdesktop/XCompositeScreenCapture.h"
#include "linuxdesktop/XTestInput.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace corvane {
namespace {

using Format = XCompositeScreenCapture::PixelFormat;

struct ImageRow {
    const char* name;
    std::vector<std::uint8_t> bytes;
    int width;
    int height;
    Format format;
    std::vector<QRgb> pixels; // row by row; empty: refused
};

TEST(X11ImageBytes, BecomeTheImageTheyShowOrAreRefused) {
    // Blue, green, red, unused: one pixel of 0x112233 in the byte order servers on this machine
    // use.
    const std::vector<std::uint8_t> twoByTwo{0x33, 0x22, 0x11, 0x00, 0xff, 0x00, 0x00, 0x7f,
                                             0x00, 0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff};
    const std::vector<ImageRow> rows{
        {"depth 24, least significant byte first",
         twoByTwo,
         2,
         2,
         {24, 32, 32, true},
         {qRgb(0x11, 0x22, 0x33), qRgb(0, 0, 0xff), qRgb(0, 0xff, 0), qRgb(0xff, 0, 0)}},
        {"depth 32 drops its alpha",
         twoByTwo,
         2,
         2,
         {32, 32, 32, true},
         {qRgb(0x11, 0x22, 0x33), qRgb(0, 0, 0xff), qRgb(0, 0xff, 0), qRgb(0xff, 0, 0)}},
        {"most significant byte first",
         {0x00, 0x11, 0x22, 0x33},
         1,
         1,
         {24, 32, 32, false},
         {qRgb(0x11, 0x22, 0x33)}},
        {"rows padded to 64 bits",
         {0x33, 0x22, 0x11, 0, 9, 9, 9, 9, 0x03, 0x02, 0x01, 0, 9, 9, 9, 9},
         1,
         2,
         {24, 32, 64, true},
         {qRgb(0x11, 0x22, 0x33), qRgb(0x01, 0x02, 0x03)}},
        {"one byte short",
         std::vector<std::uint8_t>(twoByTwo.begin(), twoByTwo.end() - 1),
         2,
         2,
         {24, 32, 32, true},
         {}},
        {"padding missing from the last row",
         std::vector<std::uint8_t>(12, 0),
         1,
         2,
         {24, 32, 64, true},
         {}},
        {"16 bits per pixel", twoByTwo, 2, 2, {16, 16, 32, true}, {}},
        {"no width", twoByTwo, 0, 2, {24, 32, 32, true}, {}},
        {"wider than any window",
         std::vector<std::uint8_t>(1 << 20, 0),
         XCompositeScreenCapture::sideLimit + 1,
         1,
         {24, 32, 32, true},
         {}},
    };
    for (const ImageRow& row : rows) {
        const std::optional<QImage> image = XCompositeScreenCapture::imageFromZPixmap(
            row.bytes.data(), row.bytes.size(), row.width, row.height, row.format);
        if (row.pixels.empty()) {
            EXPECT_FALSE(image) << row.name;
            continue;
        }
        ASSERT_TRUE(image) << row.name;
        ASSERT_EQ(image->size(), QSize(row.width, row.height)) << row.name;
        std::vector<QRgb> pixels;
        for (int y = 0; y < row.height; ++y) {
            for (int x = 0; x < row.width; ++x) {
                pixels.push_back(image->pixel(x, y));
            }
        }
        EXPECT_EQ(pixels, row.pixels) << row.name;
    }
}

TEST(X11TextKeysyms, OneKeysymPerCharacterOrNone) {
    using Keysyms = std::optional<std::vector<std::uint32_t>>;
    const std::vector<std::pair<std::string, Keysyms>> rows{
        {"aZ ~", Keysyms({0x61, 0x5a, 0x20, 0x7e})},
        {"\u00e9\u00ff", Keysyms({0xe9, 0xff})},
        {"\u20ac\u4e2d", Keysyms({0x10020ac, 0x1004e2d})},
        {"\U0001F600", Keysyms(std::vector<std::uint32_t>{0x101f600})},
        {"a\r\nb\tc\rd\n", Keysyms({0x61, 0xff0d, 0x62, 0xff09, 0x63, 0xff0d, 0x64, 0xff0d})},
        {"", Keysyms(std::vector<std::uint32_t>{})},
        {"bell\a", std::nullopt},
        {"del\x7f", std::nullopt},
        {"c1\u0085", std::nullopt},
        {"cut \xc3", std::nullopt},
        {"overlong \xc0\xaf", std::nullopt},
        {"surrogate \xed\xa0\x80", std::nullopt},
        {std::string(XTestInput::textLimit + 1, 'x'), std::nullopt},
    };
    for (const auto& [text, keysyms] : rows) {
        EXPECT_EQ(XTestInput::textKeysyms(text), keysyms) << text.substr(0, 40);
    }
}

QCoro::Task<> listInto(XCompositeScreenCapture* capture, std::string* outcome) {
    const auto answer = co_await capture->shareableWindows();
    const auto* error = std::get_if<ScreenCapture::Error>(&answer);
    *outcome = error != nullptr ? "error " + std::to_string(error->code) : "windows";
}

// A display that takes the connection and never answers (a hung server): the caller hears "no
// image" and "unavailable" within the limit instead of waiting for ever.
TEST(X11SilentServer, CapturesGiveUpWithinTheLimit) {
    desktop_test::ensureApplication();
    const int display = 4000 + ::getpid() % 4000;
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    // The abstract name X clients try first for a local display.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = "/tmp/.X11-unix/X" + std::to_string(display);
    std::copy(name.begin(), name.end(), address.sun_path + 1);
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 4) != 0) {
        ::close(listener);
        GTEST_SKIP() << "no abstract socket for display " << display;
    }
    {
        XCompositeScreenCapture capture(":" + std::to_string(display));
        QElapsedTimer timer;
        timer.start();
        std::string outcome;
        EXPECT_EQ(desktop_test::finish(listInto(&capture, &outcome), std::chrono::seconds(20)),
                  "ok");
        EXPECT_EQ(outcome, "error 1");
        EXPECT_LT(timer.elapsed(), XCompositeScreenCapture::answerLimit.count() + 2000);
        // Closing the socket ends the connection attempt the worker still waits in.
        ::close(listener);
    }
}

} // namespace
} // namespace corvane
