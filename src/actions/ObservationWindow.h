#pragma once

#include "platform/AccessibilityVocabulary.h"

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
    // Absent when missing (or, for the subrole, outside the vocabulary).
    std::optional<AXRoleTerm> role;
    std::optional<AXSubrole> subrole;
    // Absent when it is not a number (or boolean).
    std::optional<bool> minimized;
    std::optional<QRectF> bounds;

    // A window on screen that can be looked at: not minimised, with a finite, non-empty frame.
    bool usable() const {
        return role == AXRole::Window && minimized == false && bounds &&
               std::isfinite(bounds->x()) && std::isfinite(bounds->y()) &&
               std::isfinite(bounds->width()) && std::isfinite(bounds->height()) &&
               bounds->width() > 0 && bounds->height() > 0;
    }
};

} // namespace corvane
