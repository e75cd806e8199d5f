// Keys and modifiers as the Mac's virtual key codes and flag masks.
#include "mac/InputOnMac.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

using namespace corvane;

namespace {

// Records what reaches the Mac level.
class RecordingEvents final : public MacInputEvents {
public:
    struct Posted {
        KeyStroke stroke;
        std::optional<std::int32_t> pid; // absent: to the session
    };
    std::vector<Posted> keys;
    std::vector<std::pair<MouseButton, int>> clicks;
    std::vector<std::int32_t> scrolls;

    bool postKeyToProcess(const KeyStroke& stroke, std::int32_t pid) override {
        keys.push_back({stroke, pid});
        return true;
    }
    bool postKeyToSession(const KeyStroke& stroke) override {
        keys.push_back({stroke, std::nullopt});
        return true;
    }
    bool postClick(double, double, MouseButton button, int count) override {
        clicks.emplace_back(button, count);
        return true;
    }
    bool postScroll(double, double, std::int32_t pixels) override {
        scrolls.push_back(pixels);
        return true;
    }
};

} // namespace

TEST(InputOnMac, KeysAndModifiersBecomeKeyCodesAndFlags) {
    using Key = Input::Key;
    struct Row {
        Key key;
        Input::Modifiers modifiers;
        std::uint16_t code;
        std::uint64_t flags;
    };
    const Row rows[] = {
        {Key::Return, {}, 36, 0},
        {Key::A, {.command = true}, 0, 0x100000}, // select all
        {Key::Tab, {.option = true, .shift = true}, 48, 0xA0000},
    };
    RecordingEvents mac;
    InputOnMac input(mac);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        mac.keys.clear();
        EXPECT_TRUE(input.pressKey(row.key, row.modifiers, 845));
        ASSERT_EQ(mac.keys.size(), 1u);
        EXPECT_EQ(mac.keys[0].stroke.keyCode, row.code);
        EXPECT_EQ(mac.keys[0].stroke.flags, row.flags);
        EXPECT_EQ(mac.keys[0].stroke.text, std::nullopt);
        EXPECT_EQ(mac.keys[0].pid, 845);
    }
    std::set<std::uint16_t> codes;
    for (const auto& row : InputOnMac::keyCodes) {
        codes.insert(row.code);
    }
    EXPECT_EQ(codes.size(), InputOnMac::keyCodes.size()); // every key has a code of its own

    mac.keys.clear();
    EXPECT_TRUE(input.typeText("héllo", 845));
    ASSERT_EQ(mac.keys.size(), 1u);
    // Typed text rides whole on key 0 without modifiers.
    EXPECT_EQ(mac.keys[0].stroke.keyCode, 0);
    EXPECT_EQ(mac.keys[0].stroke.flags, 0u);
    EXPECT_EQ(mac.keys[0].stroke.text, "héllo");

    EXPECT_TRUE(input.click(1, 2, Input::MouseButton::Right, 2));
    EXPECT_TRUE(input.scroll(1, 2, -120));
    EXPECT_EQ(mac.clicks, (std::vector<std::pair<MacInputEvents::MouseButton, int>>{
                              {MacInputEvents::MouseButton::Right, 2}}));
    EXPECT_EQ(mac.scrolls, std::vector<std::int32_t>{-120});
}
