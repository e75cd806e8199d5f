// "desktop_observe" on the simulated Mac: the window chosen, the walk's bounds, what is never
// read, and the checks before a snapshot is handed out.
#include "actions/DesktopObservation.h"

#include "DesktopFixture.h"
#include "mac/AccessibilityOnMac.h"

using namespace std::chrono_literals;
using namespace corvane;
using namespace corvane::desktop_test;

namespace {

// The editor does not come forward when asked; something else must bring it.
std::string stayingBehind(std::string scenario) {
    const std::string running = R"("running": [{"pid": 500}])";
    return scenario.replace(scenario.find(running), running.size(),
                            R"("activation": "stays_behind", )" + running);
}

class DesktopObservationTest : public DesktopFixture {};

TEST_F(DesktopObservationTest, ReportsTheWindowsControlsInWalkOrder) {
    load(editorScenario(R"(
        {"role": "AXButton", "description": "Close", "actions": [{"name": "AXPress"}]},
        {"role": "", "title": "Nameless"},
        {"id": "pw", "role": "AXTextField", "subrole": "AXSecureTextField", "value": "hunter2",
         "children": [{"role": "AXStaticText", "value": "inside the password"}]},
        {"role": "AXSecureTextField", "title": "PIN"},
        {"role": "AXGroup", "children": [
            {"role": "AXScrollArea", "actions": [{"name": "AXShowMenu"}]},
            {"role": "AXWebArea", "actions": [{"name": "AXScrollDownByPage"}, {"name": "AXPress"}]},
            {"role": "AXGroup", "title": "Labelled group"}]},
        {"role": "AXTextField", "title": "Name", "value": "Ada"})"));
    ASSERT_EQ(observe().front(), '{') << observe();

    // Breadth-first: the window, its children, then the group's children.
    EXPECT_EQ(labels(), (std::vector<std::string>{"Doc", "Close", "Nameless", "Name", "", "",
                                                  "Labelled group"}));
    const JSON::Array& elements = *last.find("elements")->array();
    for (std::size_t i = 0; i < elements.size(); ++i) {
        EXPECT_EQ(*elements[i].stringMember("element_id"), std::to_string(i));
    }
    EXPECT_EQ(*elements[0].stringMember("role"), "AXWindow");
    EXPECT_EQ(*elements[2].stringMember("role"), "AXUnknown");
    EXPECT_EQ(*elements[3].stringMember("value"), "Ada");
    EXPECT_EQ(elements[4].find("actions")->data(),
              R"(["AXShowMenu","AXScrollUpByPage","AXScrollDownByPage"])");
    EXPECT_EQ(elements[5].find("actions")->data(),
              R"(["AXScrollDownByPage","AXPress","AXScrollUpByPage"])");
    // Neither password field, nor what is inside one, is read or reported.
    EXPECT_EQ(last.data().find("hunter2"), std::string::npos);
    EXPECT_EQ(last.data().find("inside the password"), std::string::npos);
    EXPECT_EQ(last.data().find("PIN"), std::string::npos);

    EXPECT_EQ(*last.stringMember("bundle_id"), "com.example.editor");
    EXPECT_EQ(last.find("truncated")->boolean(), false);
    EXPECT_EQ(*last.stringMember("expires_at"), "2026-01-01T00:00:30.000Z");
    EXPECT_EQ(desktop->snapshotID(), snapshotID());
    EXPECT_EQ(desktop->snapshot().nodes.size(), elements.size());
    EXPECT_EQ(desktop->snapshot().observedTitle, "Doc");
    EXPECT_FALSE(desktop->snapshot().imageSize);
    EXPECT_FALSE(desktop->observing());
    // Brought forward and raised first.
    EXPECT_EQ(events("activate").size(), 1u);
    EXPECT_EQ(*events("ax_action").front().stringMember("action"), "AXRaise");

    // Every observation is a new snapshot.
    const std::string first = snapshotID();
    ASSERT_EQ(observe().front(), '{');
    EXPECT_NE(snapshotID(), first);
}

TEST_F(DesktopObservationTest, TheWalkIsBoundedFourWays) {
    // 1,000 bare groups (ten holding a hundred each): none reported, 600 taken, more left.
    load(editorScenario(repeated(R"({"role": "AXGroup", "children": [)" +
                                     repeated(R"({"role": "AXGroup"})", 99) + "]}",
                                 10)));
    ASSERT_EQ(observe().front(), '{');
    EXPECT_EQ(labels(), std::vector<std::string>{"Doc"});
    EXPECT_EQ(last.find("truncated")->boolean(), true);
    const AXElement window = *mac->model().named("w");
    EXPECT_EQ(DesktopObservation::walk(platform->accessibility, clock, {window}).taken, 600u);

    // No more than 160 children of one element are ever queued.
    load(editorScenario(repeated(R"({"role": "AXGroup"})", 200)));
    const DesktopObservation::Walk wide =
        DesktopObservation::walk(platform->accessibility, clock, {*mac->model().named("w")});
    EXPECT_EQ(wide.taken, 161u);
    EXPECT_FALSE(wide.truncated);

    // 60 elements at most.
    load(editorScenario(repeated(R"({"role": "AXButton", "title": "B"})", 100)));
    ASSERT_EQ(observe().front(), '{');
    EXPECT_EQ(last.find("elements")->array()->size(), 60u);
    EXPECT_EQ(last.find("truncated")->boolean(), true);

    // The same element reached twice is walked once.
    load(editorScenario(repeated(R"({"role": "AXButton", "title": "B"})", 3)));
    const AXElement w = *mac->model().named("w");
    const DesktopObservation::Walk twice =
        DesktopObservation::walk(platform->accessibility, clock, {w, w});
    EXPECT_EQ(twice.elements.size(), 4u);
    EXPECT_EQ(twice.taken, 5u);

    // A walk that reaches its deadline stops: every read here takes 10 ms of virtual time, six
    // reads a described button, five for the titled window.
    test::FakeAccessibility slow;
    slow.onRead = [this] {
        clock.advance(10ms);
    };
    const AXElement top = slow.add({.attributes = {{"AXTitle", PlatformValue("Doc")}}});
    std::vector<AXElement> buttons;
    for (int i = 0; i < 100; ++i) {
        buttons.push_back(slow.add({.attributes = {{"AXRole", PlatformValue("AXButton")},
                                                   {"AXDescription", PlatformValue("B")}}}));
    }
    slow.setChildren(top, buttons);
    AccessibilityOnMac slowly(slow);
    const DesktopObservation::Walk timed = DesktopObservation::walk(slowly, clock, {top});
    EXPECT_EQ(timed.taken, 51u); // 50 + 50 × 60 ms reaches 3 s
    EXPECT_EQ(timed.elements.size(), 51u);
    EXPECT_TRUE(timed.truncated);
}

TEST_F(DesktopObservationTest, TextsAreCutInCharacters) {
    const std::string longTitle = repeated("e\xCC\x81", 200, ""); // a character: two code points
    std::string actions;
    for (int i = 0; i < 15; ++i) {
        actions += std::string(i == 0 ? "" : ",") + R"({"name": "AXAction)" + std::to_string(i) +
                   std::string(100, 'x') + R"("})";
    }
    load(editorScenario(R"({"role": "AXButton", "title": ")" + longTitle + R"(", "value": ")" +
                        std::string(300, 'v') + R"(", "actions": [)" + actions + "]}"));
    ASSERT_EQ(observe().front(), '{');
    const JSON& button = (*last.find("elements")->array())[1];
    EXPECT_EQ(*button.stringMember("label"), repeated("e\xCC\x81", 160, ""));
    EXPECT_EQ(*button.stringMember("value"), std::string(160, 'v'));
    const JSON::Array& names = *button.find("actions")->array();
    ASSERT_EQ(names.size(), 12u);
    EXPECT_EQ(*names[11].string(), ("AXAction11" + std::string(100, 'x')).substr(0, 80));
}

TEST_F(DesktopObservationTest, RolesOutsideTheVocabularyAreReportedAsTheyCame) {
    // Unfamiliar roles are no containers: even a bare one is reported, under its own name.
    load(editorScenario(R"({"role": "AXRulerMarker"},
                           {"role": "AXGroup", "subrole": "AXTimelineMarker", "title": "Kept"},
                           {"role": "AXGroup"})"));
    ASSERT_EQ(observe().front(), '{');
    std::vector<std::string> roles;
    for (const JSON& element : *last.find("elements")->array()) {
        roles.push_back(*element.stringMember("role"));
    }
    EXPECT_EQ(roles, (std::vector<std::string>{"AXWindow", "AXRulerMarker", "AXGroup"}));
}

// Which window wins is DesktopRules' table; here, that the attributes it needs are read.
TEST_F(DesktopObservationTest, TheWindowIsTheFocusedOneOrTheOnlyStandardOne) {
    const std::string noFocus = R"("focused_window": null, "main_window": null)";
    const std::string second = R"(, {"id": "w2", "role": "AXWindow", "subrole": "AXStandardWindow",
                                     "title": "Second", "frame": [0, 0, 300, 200]})";
    struct Row {
        const char* name;
        std::string scenario;
        const char* expected; // the observed window's title, or the refusal
    } const rows[] = {
        {"one standard window", editorScenario("", "", noFocus), "Doc"},
        {"two, one of them main",
         editorScenario("", "", R"("focused_window": null, "main_window": "w2")", second),
         "Second"},
        {"a system dialog among them",
         editorScenario("", "", noFocus,
                        R"(, {"role": "AXWindow", "subrole": "AXSystemDialog",
                              "frame": [0, 0, 300, 200]})"),
         "desktop_protected_ui"},
        {"focused but minimised", editorScenario("", R"("attributes": {"AXMinimized": true})"),
         "desktop_window_unavailable"},
    };
    for (const Row& row : rows) {
        load(row.scenario);
        const std::string outcome = observe();
        EXPECT_EQ(outcome.front() == '{' ? labels().front() : outcome, row.expected) << row.name;
        EXPECT_FALSE(desktop->observing()) << row.name;
    }
    // Two standard windows, none focused: refused after all twelve attempts, 100 ms apart.
    load(editorScenario("", "", noFocus, second));
    const auto start = clock.monotonicNow();
    EXPECT_EQ(observe(), "desktop_window_unavailable");
    EXPECT_EQ(clock.monotonicNow() - start, 1100ms);
}

TEST_F(DesktopObservationTest, WaitsForTheApplicationToComeForward) {
    load(stayingBehind(editorScenario("")));
    mac->model().setFrontmost(600);
    auto probe = watch(desktop->observe(JSON::parse(R"({"bundle_id": "com.example.editor"})")));
    clock.advance(250ms);
    EXPECT_FALSE(probe->done);
    EXPECT_TRUE(desktop->observing());
    // Meanwhile a second observation and any action are refused.
    EXPECT_EQ(observe(), "desktop_busy");
    EXPECT_EQ(act(JSON::parse(R"({"operation": "key", "key": "tab"})")), "desktop_busy");
    mac->model().setFrontmost(editorPid);
    finish(probe);
    EXPECT_EQ(probe->outcome.front(), '{') << probe->outcome;

    // Never in front: twelve attempts, then the application did not come forward.
    mac->model().setFrontmost(600);
    EXPECT_EQ(observe(R"({"bundle_id": "com.example.editor"})"), "desktop_focus_changed");
    EXPECT_FALSE(desktop->observing());

    // Consent withdrawn while it waits: the epoch moved on.
    probe = watch(desktop->observe(JSON::parse(R"({"bundle_id": "com.example.editor"})")));
    clock.advance(100ms);
    desktop->suspend();
    finish(probe);
    EXPECT_EQ(probe->outcome, "desktop_permission_required");
    EXPECT_FALSE(desktop->observing());
}

TEST_F(DesktopObservationTest, NothingChangedBeforeTheSnapshotIsHandedOut) {
    // The title changes once the walk reads the status text, as an autosave would.
    load(editorScenario(R"({"id": "status", "role": "AXStaticText", "value": "Saved",
                            "on_read": [{"set": {"target": "w", "attribute": "AXTitle",
                                                 "value": "Doc — Edited"}}]})"));
    EXPECT_EQ(observe(), "desktop_focus_changed");
    EXPECT_FALSE(desktop->snapshotID());
    EXPECT_TRUE(desktop->snapshot().nodes.empty());

    // Another application takes the front in the middle of the walk.
    load(editorScenario(R"({"role": "AXStaticText", "value": "x",
                            "on_read": [{"raise": "other"}]})"));
    EXPECT_EQ(observe(), "desktop_focus_changed");
    EXPECT_FALSE(desktop->snapshotID());

    // A result of 58000 bytes or more is refused and leaves no snapshot.
    const std::string text = repeated("\xF0\x9F\x98\x80", 160, ""); // four bytes a character
    load(editorScenario(repeated(
        R"({"role": "AXButton", "title": ")" + text + R"(", "value": ")" + text + R"("})", 59)));
    EXPECT_EQ(observe(), "desktop_observation_too_large");
    EXPECT_FALSE(desktop->snapshotID());
    load(editorScenario(repeated(R"({"role": "AXButton", "title": ")" + text + R"("})", 59)));
    EXPECT_EQ(observe().front(), '{');
    EXPECT_LT(last.data().size(), DesktopObservation::maxResultBytes);
}

TEST_F(DesktopObservationTest, MenusInterleaveWithTheWindowsDeeperLevels) {
    load(editorScenario(
        R"({"role": "AXGroup", "children": [{"role": "AXButton", "title": "Deep"}]})", "",
        R"("focused_window": "w", "menu_bar": {"role": "AXMenuBar", "children": [
                               {"role": "AXMenuBarItem", "title": "File"}]})"));
    ASSERT_EQ(observe(R"({"include_menus": true})").front(), '{');
    EXPECT_EQ(labels(), (std::vector<std::string>{"Doc", "", "File", "Deep"}))
        << "the bare group is not reported; the menu bar has no label";
    ASSERT_EQ(observe(R"({"include_menus": 1})").front(), '{');
    EXPECT_EQ(labels(), (std::vector<std::string>{"Doc", "Deep"}));
}

} // namespace
