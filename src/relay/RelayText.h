#pragma once

#include <string_view>

namespace corvane {

// Text rules and sentences of the relay's own: which names a person may be shown, and what the
// dashboard says for the codes only the relay raises (the agent's codes keep the shared sentences).
namespace RelayText {

// A name fit to show a person: non-empty valid UTF-8 without control characters (C0, DEL, C1, line
// and paragraph separators) or bidirectional overrides, embeddings, isolates and marks, which could
// make one computer's name read as another's.
bool plainName(std::string_view name) noexcept;

// The sentence for an error code: the relay's own ones here, every other through CommandFeedback.
std::string_view error(std::string_view code) noexcept;

// The sentence for an audit outcome ("succeeded" or an error code).
std::string_view outcome(std::string_view outcome) noexcept;

} // namespace RelayText

} // namespace corvane
