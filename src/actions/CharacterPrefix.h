#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane {

// The first `count` characters of a UTF-8 text, where a character is what a reader sees as one:
// an extended grapheme cluster (a letter with its combining marks, an emoji sequence, a Hangul
// syllable). Cutting by clusters never splits an accent from its letter or a flag in two, and
// never cuts inside a UTF-8 sequence. Invalid UTF-8 in the input is replaced by U+FFFD, so the
// result is always valid UTF-8 and can be written as JSON.
std::string characterPrefix(std::string_view utf8, std::size_t count);

// How many characters (extended grapheme clusters, as above) the UTF-8 text holds, counting no
// further than `limit` + 1, so that a length check of a huge text stops early.
std::size_t characterCount(std::string_view utf8, std::size_t limit);

} // namespace corvane
