#pragma once

#include "platform/Input.h"

#include <QThreadPool>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// Synthetic input on an X11 desktop through the XTest extension. Keys are keysyms (one table for
// the key vocabulary) found on the keyboard's current mapping; a character the keyboard lacks is
// typed on a spare key code mapped to its keysym for the moment and restored afterwards. Wheel
// scrolling is buttons 4 (up) and 5 (down). The calls only queue their events: a worker thread
// with a connection of its own posts them, so the main thread never waits on the X server. Keys go
// out only while the active window belongs to the process they are meant for.
class XTestInput final : public Input {
public:
    // `display` as in DISPLAY; empty uses the DISPLAY environment variable.
    explicit XTestInput(std::string display = {});
    ~XTestInput() override;
    XTestInput(const XTestInput&) = delete;
    XTestInput& operator=(const XTestInput&) = delete;

    bool pressKey(Key key, Modifiers modifiers, std::int32_t pid) override;
    bool typeText(const std::string& text, std::int32_t pid) override;
    bool click(double x, double y, MouseButton button, int clickCount) override;
    bool scroll(double x, double y, std::int32_t pixels) override;

    struct KeySym {
        Key key;
        std::uint32_t keysym;
    };
    static constexpr std::array<KeySym, 14> keysyms{{{Key::Return, 0xff0d},
                                                     {Key::Tab, 0xff09},
                                                     {Key::Escape, 0xff1b},
                                                     {Key::Up, 0xff52},
                                                     {Key::Down, 0xff54},
                                                     {Key::Left, 0xff51},
                                                     {Key::Right, 0xff53},
                                                     {Key::Backspace, 0xff08},
                                                     {Key::Space, 0x0020},
                                                     {Key::Home, 0xff50},
                                                     {Key::End, 0xff57},
                                                     {Key::PageUp, 0xff55},
                                                     {Key::PageDown, 0xff56},
                                                     {Key::A, 0x0061}}};
    static constexpr std::uint32_t shiftKeysym = 0xffe1;
    static constexpr std::uint32_t controlKeysym = 0xffe3;
    static constexpr std::uint32_t altKeysym = 0xffe9;

    // The keysyms that type `text` (UTF-8), one per character (a line break is Return, a tab is
    // Tab); absent when the text is not valid UTF-8 or holds a character no key types.
    static std::optional<std::vector<std::uint32_t>> textKeysyms(const std::string& text);
    // Wheel clicks for a scroll by `pixels` (at least one, at most `wheelLimit`).
    static int wheelClicks(std::int32_t pixels);
    static constexpr int pixelsPerWheelClick = 50;
    static constexpr int wheelLimit = 40;
    // Longest text typed by one call, in characters.
    static constexpr std::size_t textLimit = 100000;

    // One event before key codes are known: keys by keysym, typed characters (shifted when their
    // keysym is on the shifted level), buttons and absolute pointer motion.
    struct Step {
        enum class Kind { KeyDown, KeyUp, Type, ButtonDown, ButtonUp, Motion };
        Kind kind;
        std::uint32_t value = 0; // keysym or button
        std::int16_t x = 0;
        std::int16_t y = 0;
    };

    // Blocks until every queued event was posted (tests, benchmarks).
    void waitForPosted();

private:
    struct Worker;
    bool post(std::vector<Step> steps, std::int32_t pid);

    std::shared_ptr<Worker> worker_;
    // After the worker: going away waits for the job under way, which holds the worker.
    QThreadPool pool_;
};

} // namespace corvane
