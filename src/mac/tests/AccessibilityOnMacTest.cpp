// The accessibility vocabulary on the Mac's names: the tables, and what passes through outside
// them.
#include "mac/AccessibilityOnMac.h"

#include "support/FakePlatform.h"

#include <gtest/gtest.h>

#include <set>

using namespace corvane;
using test::FakeAccessibility;

namespace {

// Every term of a vocabulary enum in a table exactly once, under a name no other row uses.
template <typename Term, std::size_t N>
void expectCompleteAndOneToOne(const std::array<AccessibilityOnMac::Name<Term>, N>& table,
                               Term last) {
    std::set<int> terms;
    std::set<std::string_view> names;
    for (const auto& row : table) {
        EXPECT_TRUE(terms.insert(static_cast<int>(row.term)).second) << row.mac;
        EXPECT_TRUE(names.insert(row.mac).second) << row.mac;
        EXPECT_TRUE(row.mac.starts_with("AX")) << row.mac;
        EXPECT_EQ(AccessibilityOnMac::termNamed(table, row.mac), row.term);
        EXPECT_EQ(AccessibilityOnMac::macName(table, row.term), row.mac);
    }
    EXPECT_EQ(terms.size(), static_cast<std::size_t>(last) + 1);
}

} // namespace

TEST(AccessibilityOnMac, EveryTermHasOneMacNameAndResultsKeepTheMacNames) {
    expectCompleteAndOneToOne(AccessibilityOnMac::roleNames, AXRole::Unknown);
    expectCompleteAndOneToOne(AccessibilityOnMac::subroleNames, AXSubrole::SearchField);
    expectCompleteAndOneToOne(AccessibilityOnMac::attributeNames, AXAttribute::CloseButton);
    expectCompleteAndOneToOne(AccessibilityOnMac::actionNames, AXAction::ScrollDownByPage);
    // Roles and actions reach results: their names there are exactly what the Mac reports.
    for (const auto& row : AccessibilityOnMac::roleNames) {
        EXPECT_EQ(axName(row.term), row.mac);
    }
    for (const auto& row : AccessibilityOnMac::actionNames) {
        EXPECT_EQ(axName(row.term), row.mac);
    }
}

TEST(AccessibilityOnMac, RolesAndSubrolesReadIntoTheVocabulary) {
    struct Row {
        const char* name;
        std::optional<PlatformValue> role;
        std::optional<AXRoleTerm> expected;
    };
    const Row rows[] = {
        {"known", PlatformValue("AXButton"), AXRoleTerm(AXRole::Button)},
        {"the unknown role itself", PlatformValue("AXUnknown"), AXRoleTerm(AXRole::Unknown)},
        {"outside the vocabulary, kept verbatim", PlatformValue("AXRulerMarker"),
         AXRoleTerm::outside("AXRulerMarker")},
        {"letter case matters", PlatformValue("axbutton"), AXRoleTerm::outside("axbutton")},
        {"empty", PlatformValue(""), std::nullopt},
        {"not a text", PlatformValue(3), std::nullopt},
        {"missing", std::nullopt, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeAccessibility mac;
        test::FakeElement node;
        if (row.role) {
            node.attributes.emplace("AXRole", *row.role);
        }
        const AXElement element = mac.add(node);
        AccessibilityOnMac ax(mac);
        EXPECT_EQ(ax.role(element), row.expected);
    }

    FakeAccessibility mac;
    const AXElement standard = mac.add({{{"AXSubrole", "AXStandardWindow"}}});
    const AXElement other = mac.add({{{"AXSubrole", "AXTimelineMarker"}}});
    AccessibilityOnMac ax(mac);
    EXPECT_EQ(ax.subrole(standard), AXSubrole::StandardWindow);
    EXPECT_EQ(ax.subrole(other), std::nullopt);
    EXPECT_EQ(ax.subrole(AXElement(99)), std::nullopt);
}

TEST(AccessibilityOnMac, ActionsOutsideTheVocabularyAreOfferedAndPerformedByTheirOwnName) {
    FakeAccessibility mac;
    const std::string own = "Name:Close Tab\nTarget:0x0\nSelector:(null)";
    const AXElement tab = mac.add({{{"AXTitle", "Docs"}, {"AXFocusedUIElement", AXElement(5)}},
                                   {{"AXPress", "press"}, {own, "close tab"}, {"AXRaise", ""}}});
    AccessibilityOnMac ax(mac);

    const std::vector<AXActionTerm> expected{
        AXActionTerm(AXAction::Press), AXActionTerm::outside(own), AXActionTerm(AXAction::Raise)};
    EXPECT_EQ(ax.actions(tab), expected);
    EXPECT_EQ(ax.actions(AXElement(99)), std::nullopt);
    EXPECT_EQ(ax.actionDescription(tab, AXActionTerm::outside(own)), "close tab");
    EXPECT_EQ(ax.actionDescription(tab, AXAction::Press), "press");

    EXPECT_TRUE(ax.perform(tab, AXActionTerm::outside(own)));
    EXPECT_TRUE(ax.perform(tab, AXAction::Raise));
    EXPECT_FALSE(ax.perform(tab, AXAction::Cancel)); // not offered
    const std::vector<std::pair<AXElement, std::string>> performed{
        {tab, own}, {tab, "AXRaise"}, {tab, "AXCancel"}};
    EXPECT_EQ(mac.performed, performed);

    EXPECT_EQ(ax.attribute(tab, AXAttribute::Title), PlatformValue("Docs"));
    EXPECT_EQ(ax.attribute(tab, AXAttribute::FocusedElement), PlatformValue(AXElement(5)));
    EXPECT_EQ(ax.attribute(tab, AXAttribute::Value), std::nullopt);
}
