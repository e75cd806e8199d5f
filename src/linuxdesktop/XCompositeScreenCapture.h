#pragma once

#include "platform/ScreenCapture.h"

#include <QThreadPool>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace corvane {

class X11Connection;

// Window images on an X11 desktop through the Composite extension: the window's top-level frame is
// kept off-screen by the server, so its image is whole even where other windows cover it. The
// windows are the window manager's client list, each with the frame it was reparented into (title
// bar and borders), which the capture gives whole when asked for by the frame's id. Every X request
// runs on a worker thread with a connection of its own, each reply bounded by the connection's
// limit, and an answer that takes longer than `answerLimit` all the same is given up; X11 asks no
// permission.
class XCompositeScreenCapture final : public ScreenCapture {
public:
    // `display` as in DISPLAY; empty uses the DISPLAY environment variable.
    explicit XCompositeScreenCapture(std::string display = {});
    ~XCompositeScreenCapture() override;

    bool preflight() const override { return true; }
    void request() override {}
    QCoro::Task<std::variant<std::vector<Window>, Error>> shareableWindows() override;
    QCoro::Task<std::optional<QImage>> capture(std::uint32_t windowID, int width,
                                               int height) override;

    // How long a caller waits for the worker's answer.
    static constexpr std::chrono::milliseconds answerLimit{5000};
    // The error code of a window list asked when no X server answers.
    static constexpr std::int64_t displayUnavailable = 1;
    // Layer of windows that stay above ordinary ones (docks, panels, notifications).
    static constexpr std::int64_t aboveLayer = 20;
    // The longest side of a window read or an image made; larger ones are refused.
    static constexpr int sideLimit = 8192;

    // How the server's ZPixmap bytes are laid out.
    struct PixelFormat {
        int depth = 24;
        int bitsPerPixel = 32;
        int scanlinePad = 32;
        bool lsbFirst = true;
    };
    // The image the bytes of a GetImage reply show; absent when they are too few for the size or
    // in a layout other than 32 bits per pixel with depth 24 or 32 (red, green, blue masks
    // 0xff0000, 0xff00, 0xff).
    static std::optional<QImage> imageFromZPixmap(const std::uint8_t* data, std::size_t length,
                                                  int width, int height, PixelFormat format);

private:
    struct Worker;
    // The worker's answer, or nothing when it did not come within `answerLimit`.
    template <typename T>
    QCoro::Task<std::optional<T>> ask(std::function<T()> work);

    std::shared_ptr<Worker> worker_;
    // After the worker: going away drops the jobs not started and waits for the one under way,
    // which holds the worker.
    QThreadPool pool_;
};

} // namespace corvane
