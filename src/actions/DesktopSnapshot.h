#pragma once

#include "platform/AXElement.h"

#include <QRectF>
#include <QSizeF>

#include <map>
#include <optional>
#include <string>

namespace corvane {

// What the last observation handed out and the next action may use: its id, the elements by
// element id, the window they belong to with its title, and for an observation with an image the
// image's pixel size and the window frame it shows. The members change together.
struct DesktopSnapshot {
    std::optional<std::string> id;
    std::map<std::string, AXElement, std::less<>> nodes;
    std::optional<AXElement> window;
    std::optional<QSizeF> imageSize;
    std::optional<QRectF> imageBounds;
    std::optional<std::string> observedTitle;
};

} // namespace corvane
