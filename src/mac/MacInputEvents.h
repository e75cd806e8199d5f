#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

// Synthetic keyboard, mouse and scroll input in the Mac's terms (virtual key codes, flag masks).
// Every call creates all of its events first and posts nothing when one cannot be created; it then
// answers false. Only the Mac adapter posts through it; the actions see Input.
class MacInputEvents {
public:
    virtual ~MacInputEvents() = default;

    // Modifier flag masks as the event system defines them.
    static constexpr std::uint64_t commandFlag = 0x100000;
    static constexpr std::uint64_t controlFlag = 0x40000;
    static constexpr std::uint64_t optionFlag = 0x80000;
    static constexpr std::uint64_t shiftFlag = 0x20000;
    static constexpr std::uint64_t secondaryFunctionFlag = 0x800000;

    struct KeyStroke {
        std::uint16_t keyCode = 0;
        std::uint64_t flags = 0;
        // Text attached to both events (UTF-8); absent for a plain key.
        std::optional<std::string> text;
    };

    // A key-down and key-up pair delivered to one process only.
    virtual bool postKeyToProcess(const KeyStroke& stroke, std::int32_t pid) = 0;
    // A key-down and key-up pair posted to the whole session (the HID event tap).
    virtual bool postKeyToSession(const KeyStroke& stroke) = 0;

    enum class MouseButton { Left, Right };
    // Moves the pointer to the point, then `clickCount` down/up pairs with click states 1..n.
    virtual bool postClick(double x, double y, MouseButton button, int clickCount) = 0;
    // Moves the pointer to the point, then one pixel-unit scroll of `pixels` (positive: up).
    virtual bool postScroll(double x, double y, std::int32_t pixels) = 0;
};

} // namespace corvane
