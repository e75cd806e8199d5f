#pragma once

#include <span>
#include <string_view>

namespace corvane {

// The texts the person sees for actions, successes and error codes, kept as data in one place so
// that each row can be checked against the product's wording line by line. Every text is UTF-8
// with static storage duration.
namespace CommandFeedbackTables {

struct Text {
    std::string_view key;
    std::string_view text;
};

// A success sentence applies to `action` when every non-empty flag names a member of the result
// that is the boolean true. Rows of one action are ordered most specific first and end with a
// row without flags, so the first row that applies is the answer. A sentence that `fades` leaves
// the window after a moment; the others stay until the next one, as a state or a failure does.
struct SuccessText {
    std::string_view action;
    std::string_view flag;
    std::string_view alsoFlag;
    std::string_view text;
    bool fades;
};

// Display names of action names.
std::span<const Text> actionNames() noexcept;
// Sentences for successful actions.
std::span<const SuccessText> successTexts() noexcept;
// Sentences for error codes; codes sharing a sentence have a row each.
std::span<const Text> errorTexts() noexcept;

// What an unlisted action name, successful action or error code reads as (the unlisted success
// fades).
extern const std::string_view fallbackActionName;
extern const std::string_view fallbackSuccess;
extern const std::string_view fallbackError;
// The window's answer when a Shortcut name joins the allowlist.
inline constexpr std::string_view shortcutAdded = "Shortcut added to your allowlist";

} // namespace CommandFeedbackTables

} // namespace corvane
