#include "mac/InputOnMac.h"

namespace corvane {

bool InputOnMac::pressKey(Key key, Modifiers modifiers, std::int32_t pid) {
    return mac_.postKeyToProcess({code(key), flags(modifiers), std::nullopt}, pid);
}

bool InputOnMac::typeText(const std::string& text, std::int32_t pid) {
    return mac_.postKeyToProcess({textKeyCode, 0, text}, pid);
}

bool InputOnMac::click(double x, double y, MouseButton button, int clickCount) {
    return mac_.postClick(x, y,
                          button == MouseButton::Right ? MacInputEvents::MouseButton::Right
                                                       : MacInputEvents::MouseButton::Left,
                          clickCount);
}

bool InputOnMac::scroll(double x, double y, std::int32_t pixels) {
    return mac_.postScroll(x, y, pixels);
}

} // namespace corvane
