#include "core/CommandFeedback.h"

#include "core/CommandFeedbackTables.h"

namespace corvane::CommandFeedback {

namespace {

namespace Tables = CommandFeedbackTables;

// A flag is set only by the boolean true: "true", 1 or a missing member leave it unset.
bool flagSet(const JSON& result, std::string_view flag) noexcept {
    if (flag.empty()) {
        return true;
    }
    const JSON* member = result.find(flag);
    return member != nullptr && member->isTrue();
}

std::string_view lookup(std::span<const Tables::Text> rows, std::string_view key,
                        std::string_view fallback) noexcept {
    for (const auto& row : rows) {
        if (row.key == key) {
            return row.text;
        }
    }
    return fallback;
}

} // namespace

std::string_view actionName(std::string_view action) noexcept {
    return lookup(Tables::actionNames(), action, Tables::fallbackActionName);
}

std::string_view error(std::string_view code) noexcept {
    return lookup(Tables::errorTexts(), code, Tables::fallbackError);
}

std::string_view success(std::string_view action, const JSON& result) noexcept {
    for (const auto& row : Tables::successTexts()) {
        if (row.action == action && flagSet(result, row.flag) && flagSet(result, row.alsoFlag)) {
            return row.text;
        }
    }
    return Tables::fallbackSuccess;
}

std::string_view outcome(std::string_view outcome) noexcept {
    if (outcome == "succeeded") {
        return Tables::fallbackSuccess;
    }
    return error(outcome);
}

bool fades(std::string_view sentence) noexcept {
    if (sentence == Tables::fallbackSuccess || sentence == Tables::shortcutAdded) {
        return true;
    }
    for (const auto& row : Tables::successTexts()) {
        if (row.text == sentence) {
            return row.fades;
        }
    }
    return false;
}

} // namespace corvane::CommandFeedback
