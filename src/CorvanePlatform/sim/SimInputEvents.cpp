#include "CorvanePlatform/sim/SimInputEvents.h"

#include "CorvanePlatform/sim/SimModel.h"

namespace corvane {

bool SimInputEvents::creationFails() const {
    if (model_.flag({"input", "fails"})) {
        model_.record("input_refused");
        return true;
    }
    return false;
}

bool SimInputEvents::postKeyToProcess(const KeyStroke& stroke, std::int32_t pid) {
    if (creationFails()) {
        return false;
    }
    model_.keyToProcess(stroke.keyCode, stroke.flags, stroke.text, pid);
    return true;
}

bool SimInputEvents::postKeyToSession(const KeyStroke& stroke) {
    if (creationFails()) {
        return false;
    }
    model_.keyToSession(stroke.keyCode, stroke.flags, stroke.text);
    return true;
}

bool SimInputEvents::postClick(double x, double y, MouseButton button, int clickCount) {
    if (creationFails()) {
        return false;
    }
    model_.click(x, y, button == MouseButton::Right, clickCount);
    return true;
}

bool SimInputEvents::postScroll(double x, double y, std::int32_t pixels) {
    if (creationFails()) {
        return false;
    }
    model_.scroll(x, y, pixels);
    return true;
}

} // namespace corvane
