#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// Synthetic keyboard, pointer and scroll input. Posting only queues events (no backend waits for
// an answer), so the calls are synchronous; main thread only. Every call makes all of its events
// first and posts nothing when one cannot be made; it then answers false.
class Input {
public:
    virtual ~Input() = default;

    // The keys the actions send, by meaning. Letters serve shortcuts (select all is Command+A).
    enum class Key {
        Return,
        Tab,
        Escape,
        Up,
        Down,
        Left,
        Right,
        Backspace,
        Space,
        Home,
        End,
        PageUp,
        PageDown,
        A,
    };
    // Command is the shortcut modifier (the Mac's Command key; a backend without one maps it to
    // its own shortcut key).
    struct Modifiers {
        bool command = false;
        bool control = false;
        bool option = false;
        bool shift = false;

        friend bool operator==(const Modifiers&, const Modifiers&) = default;
    };

    // A key-down and key-up pair delivered to one process only.
    virtual bool pressKey(Key key, Modifiers modifiers, std::int32_t pid) = 0;
    // The whole text (UTF-8) typed into one process at once, without modifiers.
    virtual bool typeText(const std::string& text, std::int32_t pid) = 0;

    enum class MouseButton { Left, Right };
    // Moves the pointer to the point, then `clickCount` clicks.
    virtual bool click(double x, double y, MouseButton button, int clickCount) = 0;
    // Moves the pointer to the point, then scrolls by `pixels` (positive: up).
    virtual bool scroll(double x, double y, std::int32_t pixels) = 0;
};

} // namespace corvane
