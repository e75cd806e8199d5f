#pragma once

#include "core/JSON.h"

#include <string_view>

namespace corvane {

// Plain-language texts for the person at the machine: action display names, success sentences and
// error sentences. Matching is exact and case-sensitive; unlisted names fall back to a general
// text. Every returned view refers to static UTF-8 text and stays valid for the program's life.
namespace CommandFeedback {

// Display name of an action name; "Mac action" when unlisted.
std::string_view actionName(std::string_view action) noexcept;

// Sentence for an error code; the general sentence when unlisted (the empty code included).
std::string_view error(std::string_view code) noexcept;

// Sentence for a successful action. A flag in `result` counts only when it is a member of an
// object whose value is the boolean true. "Completed" for an unlisted action.
std::string_view success(std::string_view action, const JSON& result) noexcept;

// Sentence for a logged outcome: "Completed" for "succeeded", otherwise the error sentence.
std::string_view outcome(std::string_view outcome) noexcept;

// Whether a sentence shown for a command leaves the window after a moment: the routine successes
// do; states, failures and anything unlisted stay.
bool fades(std::string_view sentence) noexcept;

} // namespace CommandFeedback

} // namespace corvane
