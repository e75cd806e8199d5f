#pragma once

#include "mac/MacInputEvents.h"
#include "platform/Input.h"

#include <array>
#include <cstdint>

namespace corvane {

// Keys and modifiers as the Mac's virtual key codes and event flag masks. Typed text rides whole
// on one key-down and key-up pair of key code 0 without modifiers.
class InputOnMac final : public Input {
public:
    struct KeyCode {
        Key key;
        std::uint16_t code;
    };
    static constexpr std::array<KeyCode, 14> keyCodes{{{Key::Return, 36},
                                                       {Key::Tab, 48},
                                                       {Key::Escape, 53},
                                                       {Key::Up, 126},
                                                       {Key::Down, 125},
                                                       {Key::Left, 123},
                                                       {Key::Right, 124},
                                                       {Key::Backspace, 51},
                                                       {Key::Space, 49},
                                                       {Key::Home, 115},
                                                       {Key::End, 119},
                                                       {Key::PageUp, 116},
                                                       {Key::PageDown, 121},
                                                       {Key::A, 0}}};
    static constexpr std::uint16_t textKeyCode = 0;

    static constexpr std::uint16_t code(Key key) {
        for (const KeyCode& row : keyCodes) {
            if (row.key == key) {
                return row.code;
            }
        }
        return textKeyCode;
    }
    static constexpr std::uint64_t flags(Modifiers modifiers) {
        return (modifiers.command ? MacInputEvents::commandFlag : 0) |
               (modifiers.control ? MacInputEvents::controlFlag : 0) |
               (modifiers.option ? MacInputEvents::optionFlag : 0) |
               (modifiers.shift ? MacInputEvents::shiftFlag : 0);
    }

    explicit InputOnMac(MacInputEvents& mac)
        : mac_(mac) {}

    bool pressKey(Key key, Modifiers modifiers, std::int32_t pid) override;
    bool typeText(const std::string& text, std::int32_t pid) override;
    bool click(double x, double y, MouseButton button, int clickCount) override;
    bool scroll(double x, double y, std::int32_t pixels) override;

private:
    MacInputEvents& mac_;
};

} // namespace corvane
