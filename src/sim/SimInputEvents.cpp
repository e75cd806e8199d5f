#include "sim/SimInputEvents.h"

#include "sim/SimModel.h"

namespace corvane {

template <typename Post>
bool SimInputEvents::post(Post&& event) {
    return model_.with([&](SimParts& mac) {
        if (mac.settings.flag({"input", "fails"})) {
            mac.record.record("input_refused");
            return false;
        }
        event(mac.input);
        return true;
    });
}

bool SimInputEvents::postKeyToProcess(const KeyStroke& stroke, std::int32_t pid) {
    return post([&](SimInput& input) {
        input.keyToProcess(stroke.keyCode, stroke.flags, stroke.text, pid);
    });
}

bool SimInputEvents::postKeyToSession(const KeyStroke& stroke) {
    return post(
        [&](SimInput& input) { input.keyToSession(stroke.keyCode, stroke.flags, stroke.text); });
}

bool SimInputEvents::postClick(double x, double y, MouseButton button, int clickCount) {
    return post(
        [&](SimInput& input) { input.click(x, y, button == MouseButton::Right, clickCount); });
}

bool SimInputEvents::postScroll(double x, double y, std::int32_t pixels) {
    return post([&](SimInput& input) { input.scroll(x, y, pixels); });
}

} // namespace corvane
