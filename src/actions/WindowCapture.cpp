#include "actions/WindowCapture.h"

#include "actions/DesktopControl.h"
#include "actions/DesktopObservation.h"
#include "actions/DesktopTaskGuard.h"
#include "actions/DesktopWindows.h"
#include "actions/ScreenshotEncoder.h"
#include "core/ContractError.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <variant>

namespace corvane {

namespace {

bool near(double a, double b) {
    return std::abs(a - b) < 3.0;
}

bool sameFrame(const QRectF& a, const QRectF& b) {
    return near(a.x(), b.x()) && near(a.y(), b.y()) && near(a.width(), b.width()) &&
           near(a.height(), b.height());
}

JSON imageObject(const ScreenshotEncoder::Encoded& encoded) {
    return JSON(JSON::Object{
        {"mime_type", JSON("image/jpeg")},
        {"base64", JSON(encoded.jpeg.toBase64().toStdString())},
        {"width", JSON(encoded.size.width())},
        {"height", JSON(encoded.size.height())},
    });
}

} // namespace

std::optional<std::uint32_t> WindowCapture::captureWindow(const std::vector<CaptureWindow>& windows,
                                                          const QRectF& bounds,
                                                          const std::string& title) {
    // Each window once, by the area that matches: its own, else its decorated frame.
    struct Match {
        std::uint32_t id;
        const CaptureWindow* window;
    };
    std::vector<Match> matching;
    for (const CaptureWindow& window : windows) {
        if (window.layer != 0) {
            continue;
        }
        if (sameFrame(window.bounds, bounds)) {
            matching.push_back({window.id, &window});
        } else if (window.frame && sameFrame(window.frame->bounds, bounds)) {
            matching.push_back({window.frame->id, &window});
        }
    }
    if (matching.size() == 1) {
        return matching.front().id;
    }
    if (matching.empty() || title.empty()) {
        return std::nullopt;
    }
    std::erase_if(matching, [&](const Match& m) { return m.window->title != title; });
    if (matching.size() == 1) {
        return matching.front().id;
    }
    return std::nullopt;
}

QSize WindowCapture::captureSize(const QRectF& frame) {
    const double scale = std::min(maxLongEdge / std::max(frame.width(), frame.height()), 1.0);
    return QSize(std::max(int(std::floor(frame.width() * scale)), 1),
                 std::max(int(std::floor(frame.height() * scale)), 1));
}

QCoro::Task<WindowCapture::Reading> WindowCapture::read(Accessibility* accessibility,
                                                        std::int32_t pid, AXElement window) {
    Reading reading;
    co_await accessibility->batch([&reading, accessibility, pid, window] {
        reading.front = DesktopWindows::frontWindow(*accessibility, pid);
        reading.frame = DesktopWindows::rect(*accessibility, window);
    });
    co_return reading;
}

void WindowCapture::validateCapture(DesktopControl& control, std::uint64_t capturedEpoch,
                                    const RunningApplication& app, const QRectF& recordedFrame,
                                    const Reading& reading) {
    try {
        control.recheckTarget(capturedEpoch, app);
        control.confirmWindow(reading.front);
        if (!reading.frame || !DesktopControl::sameBounds(*reading.frame, recordedFrame)) {
            throw ContractError("desktop_focus_changed");
        }
    } catch (...) {
        control.invalidate();
        throw;
    }
}

QCoro::Task<JSON> WindowCapture::run(DesktopControl* control, const DesktopTaskGuard& guard,
                                     std::uint64_t capturedEpoch, RunningApplication app,
                                     JSON result) {
    const Platform platform = control->platform_;
    Accessibility* accessibility = &platform.accessibility;
    const AXElement window = *control->snapshot_.window;
    Reading reading = co_await read(accessibility, app.pid, window);
    guard.resumed();
    if (!reading.frame) {
        failDropping(*control, "desktop_capture_window_mismatch");
    }
    const QRectF frame = *reading.frame;

    // One deadline for every attempt; the failure to report when it passes is the last one seen.
    const char* pending = "desktop_capture_failed";
    const Clock::MonotonicTime deadline = platform.clock.monotonicNow() + captureDeadline;
    std::optional<QImage> image;
    for (bool first = true; !image; first = false) {
        if (!first) {
            co_await platform.clock.sleep(retryInterval);
            guard.resumed();
            reading = co_await read(accessibility, app.pid, window);
            guard.resumed();
        }
        validateCapture(*control, capturedEpoch, app, frame, reading);
        if (platform.clock.monotonicNow() >= deadline) {
            failDropping(*control, pending);
        }
        std::variant<std::vector<ScreenCapture::Window>, ScreenCapture::Error> content =
            co_await platform.screenCapture.shareableWindows();
        guard.resumed();
        if (const auto* error = std::get_if<ScreenCapture::Error>(&content)) {
            failDropping(*control, error->code == declinedCode
                                       ? "screen_recording_permission_required"
                                       : "desktop_capture_failed");
        }
        reading = co_await read(accessibility, app.pid, window);
        guard.resumed();
        validateCapture(*control, capturedEpoch, app, frame, reading);
        std::vector<CaptureWindow> own;
        for (const ScreenCapture::Window& w : std::get<0>(content)) {
            if (w.ownerPid == app.pid) {
                own.push_back(CaptureWindow{w.id, w.bounds, w.layer, w.title, w.frame});
            }
        }
        if (own.empty()) {
            pending = "desktop_capture_failed";
            continue;
        }
        // The front window is the observed one (just confirmed): its title is the window's.
        const std::optional<std::uint32_t> id = captureWindow(own, frame, reading.front.title);
        if (!id) {
            pending = "desktop_capture_window_mismatch";
            continue;
        }
        const QSize size = captureSize(frame);
        image = co_await platform.screenCapture.capture(*id, size.width(), size.height());
        guard.resumed();
        if (!image) {
            // The port reports no error code for a failed capture: a withdrawn permission is what
            // the preflight says.
            failDropping(*control, platform.screenCapture.preflight()
                                       ? "desktop_capture_failed"
                                       : "screen_recording_permission_required");
        }
    }
    reading = co_await read(accessibility, app.pid, window);
    guard.resumed();
    validateCapture(*control, capturedEpoch, app, frame, reading);

    const QImage captured = *image;
    std::function<ScreenshotEncoder::Encoded()> encode = [captured] {
        return ScreenshotEncoder::encodeScreenshot(captured, imageByteLimit);
    };
    ScreenshotEncoder::Encoded encoded;
    try {
        encoded = co_await control->encoder_.run(std::move(encode));
    } catch (const ContractError&) {
        guard.resumed();
        control->invalidate();
        throw;
    }
    guard.resumed();
    control->snapshot_.imageSize = QSizeF(encoded.size);
    control->snapshot_.imageBounds = frame;
    (*result.object())["image"] = imageObject(encoded);

    const DesktopWindows::FrontWindow front =
        co_await DesktopWindows::awaitFrontWindow(accessibility, control->pid_);
    guard.resumed();
    control->finalChecks(capturedEpoch, front);
    DesktopObservation::checkSize(*control, result);
    co_return result;
}

void WindowCapture::failDropping(DesktopControl& control, const char* code) {
    control.invalidate();
    throw ContractError(code);
}

} // namespace corvane
