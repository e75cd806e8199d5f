#include "actions/ShortcutAllowlist.h"

#include "core/ContractError.h"

#include <gtest/gtest.h>

using corvane::ContractError;
using corvane::ShortcutAllowlist;

namespace {

std::string repeat(const std::string& unit, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += unit;
    }
    return out;
}

} // namespace

TEST(ShortcutAllowlist, NamesAreCheckedBeforeTheyAreAdded) {
    struct Row {
        std::string name;
        bool valid;
    };
    const Row rows[] = {
        {"Morning Routine", true},
        {repeat("a", 200), true},
        {repeat("\xC3\xA9", 200), true},         // 200 scalars, 400 bytes
        {repeat("\xF0\x9F\x98\x80", 200), true}, // 200 scalars outside the BMP
        {repeat("e\xCC\x81", 100), true},        // 200 scalars, 100 characters
        {repeat("e\xCC\x81", 100) + "a", false},
        {repeat("a", 201), false},
        {repeat("\xF0\x9F\x98\x80", 201), false},
        {"", false},
        {"line\nbreak", false},
        {"nul" + std::string(1, '\0'), false},
        {"next\xC2\x85line", false},      // U+0085, a control character
        {"line\xE2\x80\xA8sep", false},   // U+2028 and U+2029 break lines too
        {"mark\u200Eed", false},          // a format character
        {"bad\xC3", false},               // cut UTF-8
        {"evil\xE2\x80\xAEtxt", false},   // U+202E
        {"\xED\xA0\x80surrogate", false}, // an encoded surrogate
        {"Caf\xC3\xA9 \xE2\x80\x94 ok", true},
    };
    for (const Row& row : rows) {
        ShortcutAllowlist list;
        std::string verdict = "added";
        try {
            list.add(row.name);
        } catch (const ContractError& e) {
            verdict = e.code();
        }
        EXPECT_EQ(verdict, row.valid ? "added" : "invalid_shortcut_name") << row.name;
        EXPECT_EQ(list.names().size(), row.valid ? 1u : 0u);
    }
}

TEST(ShortcutAllowlist, NamesMatchByteForByte) {
    ShortcutAllowlist list;
    list.add("Focus");
    list.add("Caf\xC3\xA9"); // precomposed é
    list.add("Focus");
    list.add("focus");
    EXPECT_EQ(list.names(), (std::vector<std::string>{"Focus", "Caf\xC3\xA9", "focus"}));
    EXPECT_TRUE(list.allows("Focus"));
    EXPECT_FALSE(list.allows("FOCUS"));
    EXPECT_FALSE(list.allows("Cafe\xCC\x81")); // e and a combining accent
    EXPECT_FALSE(list.allows("Focus "));

    // Removal takes every equal entry and keeps the order of the rest; an absent name is fine.
    ShortcutAllowlist stored({"a", "b", "a", "c"});
    stored.remove("a");
    stored.remove("zzz");
    EXPECT_EQ(stored.names(), (std::vector<std::string>{"b", "c"}));
}
