#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane {

// Text from elsewhere (a relay's error code, a file name) made safe to print as one line on a
// terminal: nothing in it can move the cursor, change colours or the window title, break the line
// or turn the text around.
class TerminalLine {
public:
    // The longest line printed, in characters; a longer one ends in "…".
    static constexpr std::size_t maxCharacters = 1000;

    // `text` with every control character (C0 with its line breaks and ESC, DEL, C1), format
    // character (the bidirectional controls among them) and line or paragraph separator shown as
    // an escape: "\n", "\t", "\r", "\x1b" below U+0080, "\u009b" and "\U000e0001" above; a
    // backslash as "\\". Bytes that are not UTF-8 become U+FFFD.
    static std::string printable(std::string_view text);
};

} // namespace corvane
