#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>

#include <array>
#include <cstddef>

namespace corvane {

// Turns a window image into a JPEG small enough for the relay: on a white background (transparent
// areas come out white), scaled with high quality to the first long edge and quality of a fixed
// ladder whose bytes fit the limit. Pure and thread-safe; the observation runs it on a worker
// thread, so that the main thread is never held by the image.
class ScreenshotEncoder {
public:
    // Long edges in pixels, each tried at the qualities in order: 18 steps at most.
    static constexpr std::array<int, 6> longEdges{640, 512, 384, 256, 192, 128};
    static constexpr std::array<int, 3> qualities{65, 45, 25};

    struct Encoded {
        QByteArray jpeg;
        QSize size;
        // Encodings tried, this one included.
        int steps = 0;
    };

    // The first step of the ladder whose JPEG has at most `byteLimit` bytes; an image is never
    // enlarged. Throws "desktop_image_too_large" when no step fits, "desktop_capture_failed" when
    // the image cannot be encoded at all.
    static Encoded encodeScreenshot(const QImage& image, std::size_t byteLimit);
};

} // namespace corvane
