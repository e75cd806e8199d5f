#pragma once

#include <QImage>
#include <QRectF>
#include <qcoro/qcorotask.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace corvane {

// Capture of one on-screen window as an image, and the screen-recording permission.
class ScreenCapture {
public:
    virtual ~ScreenCapture() = default;

    // Whether capture is allowed now, asked without prompting.
    virtual bool preflight() const = 0;
    // Asks the system to show its permission prompt.
    virtual void request() = 0;

    // The decoration a window manager draws around a window (title bar, borders): some toolkits
    // report a window's extents as this outer area rather than the window's own.
    struct Frame {
        std::uint32_t id = 0; // captures the whole frame, window included
        QRectF bounds;        // screen points
    };
    struct Window {
        std::uint32_t id = 0;
        std::int32_t ownerPid = 0;
        QRectF bounds; // screen points, the window's own area without decoration
        std::int64_t layer = 0;
        std::optional<std::string> title;
        std::optional<Frame> frame; // absent where nothing decorates the window
    };
    // The platform's error code when the shareable-content request fails (-3801: the user
    // declined screen capture).
    struct Error {
        std::int64_t code = 0;
    };
    // On-screen windows, desktop windows excluded.
    virtual QCoro::Task<std::variant<std::vector<Window>, Error>> shareableWindows() = 0;
    // One image of the window (or of a frame, by its id) at the given pixel size, without cursor
    // or shadow; absent when the capture fails.
    virtual QCoro::Task<std::optional<QImage>> capture(std::uint32_t windowID, int width,
                                                       int height) = 0;
};

} // namespace corvane
