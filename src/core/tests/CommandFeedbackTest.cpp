#include "core/CommandFeedback.h"

#include "core/CommandFeedbackTables.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using corvane::JSON;
namespace CommandFeedback = corvane::CommandFeedback;
namespace Tables = corvane::CommandFeedbackTables;

namespace {

// Spelled as bytes so that these expectations do not depend on how this file is encoded.
#define APOSTROPHE "\xE2\x80\x99" // U+2019
#define ARROW "\xE2\x86\x92"      // U+2192
#define MIDDLE_DOT "\xC2\xB7"     // U+00B7

const std::string kGeneral =
    "Velto couldn" APOSTROPHE "t complete this action. Check the Mac before trying again.";

} // namespace

TEST(CommandFeedback, TablesHaveOneRowPerKeyAndCoverEveryAction) {
    std::set<std::string_view> named;
    for (const auto& row : Tables::actionNames()) {
        EXPECT_TRUE(named.insert(row.key).second) << "duplicate action " << row.key;
    }
    std::set<std::string_view> codes;
    for (const auto& row : Tables::errorTexts()) {
        EXPECT_TRUE(codes.insert(row.key).second) << "duplicate code " << row.key;
    }

    // Rows of one action are adjacent and end with the row without flags; otherwise a later
    // row could never apply.
    std::set<std::string_view> succeeded;
    const auto rows = Tables::successTexts();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const bool last = i + 1 == rows.size() || rows[i + 1].action != rows[i].action;
        EXPECT_EQ(last, rows[i].flag.empty() && rows[i].alsoFlag.empty()) << rows[i].action;
        if (last) {
            EXPECT_TRUE(succeeded.insert(rows[i].action).second) << "split rows " << rows[i].action;
        }
    }
    EXPECT_EQ(succeeded, named);
}

TEST(CommandFeedback, EveryTextUsesTypographicApostrophesAndSingleSpaces) {
    std::vector<std::string_view> texts{Tables::fallbackActionName, Tables::fallbackSuccess,
                                        Tables::fallbackError};
    for (const auto& row : Tables::actionNames()) {
        texts.push_back(row.text);
    }
    for (const auto& row : Tables::successTexts()) {
        texts.push_back(row.text);
    }
    for (const auto& row : Tables::errorTexts()) {
        texts.push_back(row.text);
    }
    for (const auto text : texts) {
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(text.find('\''), std::string_view::npos) << text;
        EXPECT_EQ(text.find("  "), std::string_view::npos) << text;
        EXPECT_NE(text.back(), ' ') << text;
    }
}

// The texts with bytes beyond ASCII, byte for byte.
TEST(CommandFeedback, ExactTextsByteForByte) {
    EXPECT_EQ(CommandFeedback::error("accessibility_permission_required"),
              "macOS isn" APOSTROPHE "t allowing Velto to control apps. Check Velto in System "
              "Settings " ARROW " Privacy & Security " ARROW " Accessibility.");
    EXPECT_EQ(CommandFeedback::success("open_app", JSON::parse(R"({"already_open":true,
                                                                    "focused":true})")),
              "App already open " MIDDLE_DOT " brought to front");
}

TEST(CommandFeedback, SuccessFlagsCountOnlyAsBooleanTrue) {
    struct Row {
        const char* action;
        const char* result;
        const char* expected;
    };
    const Row rows[] = {
        {"open_app", R"({})", "App opened"},
        {"open_app", R"({"already_open":true})", "App was already open"},
        {"open_app", R"({"already_open":true,"focused":"true"})", "App was already open"},
        {"open_app", R"({"already_open":"true","focused":true})", "App opened"},
        {"open_app", R"(true)", "App opened"},
        {"quit_app", R"({"already_closed":true})", "App was already closed"},
        {"quit_app", R"({"already_closed":1})", "App closed"},
        {"get_state", R"({"screen_locked":true})", "Mac is locked"},
        {"get_state", R"(null)", "Mac status updated"},
        {"mute", R"({"already_open":true})", "Audio muted"},
        {"launch_rocket", R"({"already_open":true})", "Completed"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(CommandFeedback::success(row.action, JSON::parse(row.result)), row.expected)
            << row.action << " " << row.result;
    }
}

TEST(CommandFeedback, MatchingIsExactAndCaseSensitive) {
    EXPECT_EQ(CommandFeedback::actionName("lock_screen"), "Lock Mac");
    for (const char* name : {"Lock_Screen", "LOCK_SCREEN", "lock_screen ", "lock_scree", ""}) {
        EXPECT_EQ(CommandFeedback::actionName(name), "Mac action") << '"' << name << '"';
        EXPECT_EQ(CommandFeedback::success(name, JSON::Object{}), "Completed") << name;
    }
    for (const char* code : {"Device_Locked", "device_locked ", "", "action_failed"}) {
        EXPECT_EQ(CommandFeedback::error(code), kGeneral) << '"' << code << '"';
    }
    // An embedded NUL does not cut a key short.
    EXPECT_EQ(CommandFeedback::error(std::string_view("device_locked\0x", 15)), kGeneral);
}

TEST(CommandFeedback, SharedSentencesAndOutcomes) {
    EXPECT_EQ(CommandFeedback::error("invalid_deadline"),
              CommandFeedback::error("command_expired"));
    EXPECT_EQ(CommandFeedback::error("session_changed"),
              CommandFeedback::error("lock_state_unknown"));

    EXPECT_EQ(CommandFeedback::outcome("succeeded"), "Completed");
    EXPECT_EQ(CommandFeedback::outcome("Succeeded"), kGeneral);
    EXPECT_EQ(CommandFeedback::outcome("received"), kGeneral);
    EXPECT_EQ(CommandFeedback::outcome(""), kGeneral);
}

TEST(CommandFeedback, OnlyRoutineSuccessesFade) {
    for (const char* text : {"App opened", "Completed"}) {
        EXPECT_TRUE(CommandFeedback::fades(text)) << text;
    }
    // States and failures stay until the next sentence; matching is exact.
    for (const char* text : {"Mac is locked", "App opened ", "completed", ""}) {
        EXPECT_FALSE(CommandFeedback::fades(text)) << text;
    }
    EXPECT_FALSE(CommandFeedback::fades(CommandFeedback::error("device_locked")));
}
