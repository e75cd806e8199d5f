#pragma once

#include "platform/Input.h"

namespace corvane {

// No synthetic input on this desktop yet: every event is refused before anything is posted.
class AbsentInput final : public Input {
public:
    bool pressKey(Key, Modifiers, std::int32_t) override { return false; }
    bool typeText(const std::string&, std::int32_t) override { return false; }
    bool click(double, double, MouseButton, int) override { return false; }
    bool scroll(double, double, std::int32_t) override { return false; }
};

} // namespace corvane
