#include "linuxdesktop/AtspiVocabulary.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(AtspiVocabularyTest, RolesOutsideTheTableKeepAtspiNames) {
    EXPECT_EQ(AtspiVocabulary::role(ATSPI_ROLE_CALENDAR, "calendar"),
              AXRoleTerm::outside("calendar"));
    EXPECT_FALSE(AtspiVocabulary::role(ATSPI_ROLE_CALENDAR, "calendar").term());
    // No name to keep: the role that says nothing.
    EXPECT_EQ(AtspiVocabulary::role(ATSPI_ROLE_CALENDAR, ""), AXRole::Unknown);
    EXPECT_EQ(AtspiVocabulary::role(ATSPI_ROLE_INVALID, "invalid"), AXRole::Unknown);
    // The password field is secure by its role and its subrole alike.
    EXPECT_EQ(AtspiVocabulary::role(ATSPI_ROLE_PASSWORD_TEXT, "password text"),
              AXRole::SecureTextField);
    EXPECT_EQ(AtspiVocabulary::subrole(ATSPI_ROLE_PASSWORD_TEXT), AXSubrole::SecureTextField);
    EXPECT_EQ(AtspiVocabulary::subrole(ATSPI_ROLE_FRAME), AXSubrole::StandardWindow);
    EXPECT_EQ(AtspiVocabulary::subrole(ATSPI_ROLE_PUSH_BUTTON), std::nullopt);
}

TEST(AtspiVocabularyTest, ActionsAreFoundByTheMostSpecificName) {
    EXPECT_EQ(AtspiVocabulary::action("expand"), AXActionTerm::outside("expand"));
    EXPECT_EQ(AtspiVocabulary::action("click"), AXAction::Press);
    EXPECT_EQ(AtspiVocabulary::action("Press"), AXAction::Press);
    struct Row {
        std::vector<std::string> names;
        AXActionTerm action;
        std::optional<int> index;
    };
    const std::vector<Row> rows{
        // GTK's "press" only begins a press; "click" completes it, wherever it is listed.
        {{"press", "release", "click"}, AXAction::Press, 2},
        {{"SetFocus", "Press"}, AXAction::Press, 1},
        {{"click"}, AXAction::ShowMenu, std::nullopt},
        // An action outside the vocabulary is performed by its own name only.
        {{"click", "expand"}, AXActionTerm::outside("expand"), 1},
        {{"click"}, AXActionTerm::outside("Click"), std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(AtspiVocabulary::actionIndex(row.names, row.action), row.index)
            << row.action.name();
    }
}

} // namespace
} // namespace corvane
