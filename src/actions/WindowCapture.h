#pragma once

#include "actions/CaptureWindow.h"
#include "actions/DesktopWindows.h"
#include "core/JSON.h"
#include "platform/RunningApplication.h"

#include <QRectF>
#include <QSize>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

class DesktopControl;
class DesktopTaskGuard;

// The image of an observation: the one on-screen window that matches the observed window by frame
// (its own area or the window manager's decoration around it; among equals, by title) is captured
// at most 640 pixels on its long edge, encoded as a JPEG within 24000 bytes off the main thread,
// and added to the result. The window is confirmed to be the same, in front, focused, unchanged in
// title and unmoved, before and after every suspension.
class WindowCapture {
public:
    static constexpr double maxLongEdge = 640.0;
    static constexpr std::size_t imageByteLimit = 24000;
    // One deadline for all attempts, and the pause between two.
    static constexpr std::chrono::milliseconds captureDeadline{2000};
    static constexpr std::chrono::milliseconds retryInterval{200};
    // The platform's code for a capture the person did not allow.
    static constexpr std::int64_t declinedCode = -3801;

    // The capture id of the window of layer 0 whose frame matches `bounds` (each of x, y, width and
    // height within 3 points): the window's own id, or its decorated frame's when only that
    // matches, so that the image shows exactly `bounds`. Among several, the one titled `title`
    // exactly, when there is exactly one and the title is not empty. Nothing otherwise.
    static std::optional<std::uint32_t> captureWindow(const std::vector<CaptureWindow>& windows,
                                                      const QRectF& bounds,
                                                      const std::string& title);
    // The pixel size asked of the capture: the frame scaled so that its long edge is at most
    // maxLongEdge, never enlarged, at least one pixel each way.
    static QSize captureSize(const QRectF& frame);

    // Continues the observation on `control` whose snapshot and result exist: captures, encodes,
    // runs the final checks and the size limit, and returns the result with its "image".
    static QCoro::Task<JSON> run(DesktopControl* control, const DesktopTaskGuard& guard,
                                 std::uint64_t capturedEpoch, RunningApplication app, JSON result);

private:
    // What a checkpoint compares: the application's front window and the observed window's frame.
    struct Reading {
        DesktopWindows::FrontWindow front;
        std::optional<QRectF> frame;
    };
    // Read in one batch, where the backend makes its calls, so the main thread waits on none.
    static QCoro::Task<Reading> read(Accessibility* accessibility, std::int32_t pid,
                                     AXElement window);
    // The checkpoint before and after each suspension of the capture, on a fresh reading.
    static void validateCapture(DesktopControl& control, std::uint64_t capturedEpoch,
                                const RunningApplication& app, const QRectF& recordedFrame,
                                const Reading& reading);
    // The snapshot goes with every failure of the image path: the caller never receives its id.
    [[noreturn]] static void failDropping(DesktopControl& control, const char* code);
};

} // namespace corvane
