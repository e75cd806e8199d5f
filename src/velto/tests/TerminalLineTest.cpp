#include "velto/TerminalLine.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(TerminalLine, ControlsBecomeVisibleEscapesOnOneBoundedLine) {
    const std::string a999(999, 'a');
    struct Row {
        std::string text;
        std::string printed;
    };
    const std::vector<Row> rows{
        {"caf\u00e9 \u2013 \u00fcber", "caf\u00e9 \u2013 \u00fcber"},
        {"\x1b[31mred\x1b[0m", "\\x1b[31mred\\x1b[0m"},
        {"\x1b]0;title\x07", "\\x1b]0;title\\x07"},
        {"a\nb\r\tc", "a\\nb\\r\\tc"},
        {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7f"},
        {"c1 \u009b2J next\u0085", "c1 \\u009b2J next\\u0085"},
        {"\u202eevil\u2066 \u2028", "\\u202eevil\\u2066 \\u2028"},
        {"tag \U000E0001", "tag \\U000e0001"},
        {"back\\x1b", "back\\\\x1b"},
        {"bad \x9b\xff", "bad \ufffd\ufffd"},
        {std::string(1000, 'a'), std::string(1000, 'a')},
        {std::string(5000, 'a'), a999 + "\u2026"},
        // An escape is never split by the cut.
        {std::string(998, 'a') + "\x1b", std::string(998, 'a') + "\u2026"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(TerminalLine::printable(row.text), row.printed) << row.printed.substr(0, 40);
    }
}

} // namespace
} // namespace corvane
