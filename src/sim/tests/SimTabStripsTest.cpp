// Browser tab strips of the simulated Mac: closing tabs, pinned tabs, tabs that ask first, menu
// commands acting on the front window.
#include "SimFixture.h"
#include "sim/SimControlCommands.h"

namespace corvane {
namespace {

std::string tab(const std::string& id, const std::string& more = "") {
    return R"({"id": ")" + id + R"(", "role": "AXRadioButton", "title": ")" + id +
           R"(", "identifier": "TabBarTab?uuid=)" + id + R"(&isPinned=false")" + more + "}";
}

// One browser (pid 7) with two windows of tabs and a menu bar whose commands act on the front
// window.
std::string browser(const std::string& firstTabs, const std::string& secondTabs) {
    return R"({"apps": [{"path": "Applications/Browser.app",
        "bundle": {"CFBundleIdentifier": "com.example.browser"}, "running": [{"pid": 7}],
        "ui": {"windows": [
            {"id": "w1", "role": "AXWindow", "children": [
                {"id": "w1.sheet", "role": "AXSheet", "hidden": true},
                {"role": "AXGroup", "children": [
                    {"id": "w1.tabs", "role": "AXTabGroup", "children": [)" +
           firstTabs + R"(]}]}]},
            {"id": "w2", "role": "AXWindow", "children": [
                {"id": "w2.tabs", "role": "AXTabGroup", "children": [)" +
           secondTabs + R"(]}]}],
          "main_window": "w1",
          "menu_bar": {"role": "AXMenuBar", "children": [
            {"id": "close", "role": "AXMenuItem", "enabled_for": "close_tab",
             "actions": [{"name": "AXPress", "does": [{"close_tab": "self"}]}]},
            {"id": "others", "role": "AXMenuItem", "enabled_for": "close_other_tabs",
             "actions": [{"name": "AXPress", "does": [{"close_other_tabs": "self"}]}]}]}}}]})";
}

class SimTabStripsTest : public SimFixture {
protected:
    std::vector<std::string> tabs(const std::string& strip) {
        std::vector<std::string> names;
        MacAccessibility& ax = macPorts().accessibility;
        const std::optional<PlatformValue> value = ax.attribute(named(strip), "AXChildren");
        for (const PlatformValue& child : value ? *value->array() : PlatformValue::Array{}) {
            const std::optional<PlatformValue> title = ax.attribute(*child.element(), "AXTitle");
            const bool chosen = ax.attribute(*child.element(), "AXValue") == PlatformValue(true);
            names.push_back(*title->string() + (chosen ? "*" : ""));
        }
        return names;
    }
    bool press(const std::string& name) {
        return macPorts().accessibility.performAction(named(name), "AXPress");
    }
    std::optional<PlatformValue> enabled(const std::string& name) {
        return macPorts().accessibility.attribute(named(name), "AXEnabled");
    }
    bool live(const std::string& name) { return model().named(name).has_value(); }
};

TEST_F(SimTabStripsTest, ClosingHandsTheSelectionOnAndTheLastTabTakesItsWindow) {
    mac->load(browser(tab("a") + "," + tab("b", R"(, "value": true)") + "," + tab("c"),
                      tab("d", R"(, "value": true)")));
    ASSERT_EQ(tabs("w1.tabs"), (std::vector<std::string>{"a", "b*", "c"}));
    EXPECT_TRUE(press("close"));
    EXPECT_EQ(tabs("w1.tabs"), (std::vector<std::string>{"a", "c*"})); // the right neighbour
    EXPECT_TRUE(press("close"));
    EXPECT_EQ(tabs("w1.tabs"), (std::vector<std::string>{"a*"})); // else the left one

    // The menu follows the front window: raising w2 makes its strip the one closed.
    EXPECT_TRUE(macPorts().accessibility.performAction(named("w2"), "AXRaise"));
    EXPECT_EQ(enabled("others"), PlatformValue(false));
    EXPECT_TRUE(press("close"));
    EXPECT_FALSE(live("w2"));
    EXPECT_EQ(tabs("w1.tabs"), (std::vector<std::string>{"a*"}));
}

TEST_F(SimTabStripsTest, CloseOtherTabsKeepsPinnedTabsAndTabsThatAskFirst) {
    // "b" asks before it closes (a sheet); "c" refuses silently; "e" asks, then closes itself.
    mac->load(browser(tab("a", R"(, "pinned": true)") + "," +
                          tab("b", R"(, "on_close": [{"show": "w1.sheet"}])") + "," +
                          tab("c", R"(, "on_close": [])") + "," + tab("d", R"(, "value": true)") +
                          "," + tab("e", R"(, "on_close": [{"close_tab": "self"}])") + "," +
                          tab("f"),
                      tab("g")));
    EXPECT_EQ(enabled("others"), PlatformValue(true));
    EXPECT_EQ(enabled("close"), PlatformValue(true));
    EXPECT_TRUE(press("others"));
    EXPECT_EQ(tabs("w1.tabs"), (std::vector<std::string>{"a", "b", "c", "d*"}));
    EXPECT_EQ(macPorts().accessibility.attribute(named("w1.sheet"), "AXRole"),
              PlatformValue("AXSheet"));
    // Tabs that stayed are still closable, so the command stays available.
    EXPECT_EQ(enabled("others"), PlatformValue(true));
    EXPECT_EQ(tabs("w2.tabs"), (std::vector<std::string>{"g"}));
}

TEST_F(SimTabStripsTest, UserPinsATabAndItsIdentifierFollows) {
    mac->load(browser(tab("a", R"(, "value": true)") + "," + tab("b"), tab("c")));
    const JSON answer =
        mac->commands().handle(JSON::parse(R"({"cmd": "ax", "does": [{"pin": "b"}]})"));
    EXPECT_TRUE(answer.find("ok")->isTrue()) << answer.data();
    EXPECT_EQ(text(named("b"), "AXIdentifier"), "TabBarTab?uuid=b&isPinned=true");
    EXPECT_EQ(enabled("others"), PlatformValue(false)); // the only other tab is pinned now
    EXPECT_TRUE(press("others"));
    EXPECT_TRUE(live("b"));
    mac->commands().handle(JSON::parse(R"({"cmd": "ax", "does": [{"unpin": "b"}]})"));
    EXPECT_EQ(text(named("b"), "AXIdentifier"), "TabBarTab?uuid=b&isPinned=false");
    EXPECT_TRUE(press("others"));
    EXPECT_FALSE(live("b"));
}

} // namespace
} // namespace corvane
