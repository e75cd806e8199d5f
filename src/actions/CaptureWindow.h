#pragma once

#include "platform/ScreenCapture.h"

#include <QRectF>

#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

// One on-screen window as the capture service lists it.
struct CaptureWindow {
    std::uint32_t id = 0;
    QRectF bounds; // screen points
    std::int64_t layer = 0;
    std::optional<std::string> title;
    std::optional<ScreenCapture::Frame> frame;
};

} // namespace corvane
