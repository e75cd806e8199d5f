#pragma once

#include <QRectF>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

// One candidate window of an observation, as its accessibility attributes describe it.
struct ObservationWindow {
    // Process of the element; 0 when it cannot be read.
    std::int32_t processID = 0;
    // "AXRole" and "AXSubrole"; empty when missing.
    std::string role;
    std::string subrole;
    // "AXMinimized"; absent when it is not a number (or boolean).
    std::optional<bool> minimized;
    std::optional<QRectF> bounds;

    // A window on screen that can be looked at: not minimised, with a finite, non-empty frame.
    bool usable() const {
        return role == "AXWindow" && minimized == false && bounds && std::isfinite(bounds->x()) &&
               std::isfinite(bounds->y()) && std::isfinite(bounds->width()) &&
               std::isfinite(bounds->height()) && bounds->width() > 0 && bounds->height() > 0;
    }
};

} // namespace corvane
