// "desktop_act" on the simulated Mac: admission against the snapshot, each operation's effect on
// the model, and the things never touched.
#include "actions/DesktopInteraction.h"

#include "DesktopFixture.h"

using namespace std::chrono_literals;
using namespace corvane;
using namespace corvane::desktop_test;

namespace {

// A form over a tall web area: a button, a name field, a field that never takes focus, a
// password field, a scroll area with page actions and a web area without them (its top 100
// points visible).
const std::string form = R"(
    {"id": "tall", "role": "AXWebArea", "title": "Tall", "frame": [100, 50, 1280, 2000]},
    {"id": "ok", "role": "AXButton", "title": "OK", "value": 0, "frame": [120, 100, 80, 30],
     "actions": [{"name": "AXPress", "does": [{"toggle": "ok"}]}]},
    {"id": "name", "role": "AXTextField", "title": "Name", "value": "Ada",
     "frame": [220, 100, 200, 30]},
    {"id": "stuck", "role": "AXTextField", "title": "Stuck", "settable": false,
     "frame": [440, 100, 200, 30]},
    {"id": "pw", "role": "AXSecureTextField", "title": "Password",
     "frame": [660, 100, 200, 30]},
    {"id": "list", "role": "AXScrollArea", "title": "List", "frame": [120, 150, 400, 300],
     "actions": [{"name": "AXScrollDownByPage"}, {"name": "AXScrollUpByPage"}]},
    {"id": "page", "role": "AXWebArea", "title": "Page", "frame": [540, 750, 600, 400],
     "children": [{"id": "link", "role": "AXLink", "title": "Link",
                   "frame": [560, 770, 100, 20]}]})";

class DesktopInteractionTest : public DesktopFixture {
protected:
    void SetUp() override { load(editorScenario(form)); }

    void observeForm(const std::string& params = "{}") {
        const std::string outcome = observe(params);
        ASSERT_EQ(outcome.front(), '{') << outcome;
    }

    std::string value(const std::string& name) {
        const std::optional<PlatformValue> v = attribute(name, "AXValue");
        if (!v) {
            return "(none)";
        }
        if (v->string() != nullptr) {
            return *v->string();
        }
        return std::to_string(v->integer().value_or(-1));
    }
};

TEST_F(DesktopInteractionTest, EveryActionUsesTheSnapshotUp) {
    observeForm();
    EXPECT_EQ(act("press", {{"element_id", JSON(idOf("OK"))}}), "{}");
    EXPECT_EQ(value("ok"), "1");
    EXPECT_FALSE(desktop->snapshotID());
    EXPECT_EQ(act("press", {{"element_id", JSON(idOf("OK"))}}), "desktop_snapshot_expired");
    EXPECT_EQ(value("ok"), "1");

    // A failure from the focus check on uses it up too.
    observeForm();
    EXPECT_EQ(act("key", {{"key", JSON("enter")}}), "invalid_params");
    EXPECT_EQ(act("key", {{"key", JSON("tab")}}), "desktop_snapshot_expired");

    // Before it, a refusal leaves the snapshot for another try.
    observeForm();
    EXPECT_EQ(act(JSON::parse(R"({"operation": "key", "key": "tab", "snapshot_id": "x"})")),
              "desktop_snapshot_expired");
    EXPECT_EQ(act(JSON::parse(R"({"operation": "key", "key": "tab", "snapshot_id": 1})")),
              "desktop_snapshot_expired");
    EXPECT_EQ(act("key", {{"key", JSON("tab")}}), "{}");

    // 30 seconds after the observation it is too late; a moment before it is not.
    observeForm();
    clock.advance(29999ms);
    EXPECT_EQ(act("key", {{"key", JSON("tab")}}), "{}");
    observeForm();
    clock.advance(30s);
    EXPECT_EQ(act("key", {{"key", JSON("tab")}}), "desktop_snapshot_expired");
}

TEST_F(DesktopInteractionTest, TheApplicationWindowAndTitleMustBeAsObserved) {
    struct Row {
        const char* name;
        std::function<void()> change;
        const char* expected;
    } const rows[] = {
        {"another application in front", [&] { mac->model().setFrontmost(600); },
         "desktop_focus_changed"},
        {"title changed",
         [&] {
             effects(R"([{"set": {"target": "w", "attribute": "AXTitle",
                                                    "value": "Other title"}}])");
         },
         "desktop_focus_changed"},
        {"window closed", [&] { effects(R"([{"remove": "w"}])"); }, "desktop_window_unavailable"},
        {"consent withdrawn", [&] { desktop->stop(); }, "desktop_permission_required"},
        {"screen locked", [&] { mac->model().lockScreen(); }, "device_locked"},
    };
    for (const Row& row : rows) {
        load(editorScenario(form));
        observeForm();
        row.change();
        EXPECT_EQ(act("press", {{"element_id", JSON(idOf("OK"))}}), row.expected) << row.name;
        EXPECT_NE(value("ok"), "1") << row.name;
        if (std::string(row.expected) != "desktop_permission_required") {
            EXPECT_FALSE(desktop->snapshotID()) << row.name;
        }
    }
}

TEST_F(DesktopInteractionTest, KeysAndTextGoToTheObservedProcessOnly) {
    observeForm();
    EXPECT_EQ(act("key", {{"key", JSON("select_all")}}), "{}");
    std::vector<JSON> keys = events("key_to_process");
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].find("key_code")->number(), 0.0);
    EXPECT_EQ(keys[0].find("flags")->number(), double(0x100000));
    EXPECT_EQ(keys[0].find("pid")->number(), double(editorPid));

    struct Row {
        JSON::Object params;
        const char* expected;
    } const rows[] = {
        {{{"operation", JSON("key")}, {"key", JSON("return")}}, "{}"},
        {{{"operation", JSON("key")}, {"key", JSON("enter")}}, "invalid_params"},
        {{{"operation", JSON("key")}}, "invalid_params"},
        {{{"operation", JSON("key")}, {"key", JSON(36)}}, "invalid_params"},
        {{{"operation", JSON("type_text")}, {"text", JSON("")}}, "invalid_params"},
        {{{"operation", JSON("type_text")}}, "invalid_params"},
        {{{"operation", JSON("type_text")}, {"text", JSON(std::string(2001, 'a'))}},
         "invalid_params"},
        {{{"operation", JSON("type_text")}, {"text", JSON(std::string(2000, 'a'))}}, "{}"},
        {{{"operation", JSON("swipe")}}, "invalid_params"},
        {{}, "invalid_params"},
    };
    for (const Row& row : rows) {
        observeForm();
        JSON::Object params = row.params;
        params.emplace("snapshot_id", JSON(snapshotID()));
        EXPECT_EQ(act(JSON(params)), row.expected) << JSON(row.params).data();
    }
    // "type_text" types into whatever has focus: the name field, since "type" focused it.
    observeForm();
    ASSERT_EQ(act("type", {{"element_id", JSON(idOf("Name"))}, {"text", JSON("Grace")}}), "{}");
    EXPECT_EQ(value("name"), "Grace");
    observeForm();
    EXPECT_EQ(act("type_text", {{"text", JSON(" Hopper")}}), "{}");
    EXPECT_EQ(value("name"), "Grace Hopper");
}

TEST_F(DesktopInteractionTest, TypeReplacesAFieldsWholeText) {
    observeForm();
    EXPECT_EQ(act("type", {{"element_id", JSON(idOf("Name"))}, {"text", JSON("")}}), "{}");
    EXPECT_EQ(value("name"), "");
    const std::string accented =
        repeated("e\xCC\x81", 2000, ""); // 2000 characters, 4000 code points
    observeForm();
    EXPECT_EQ(act("type", {{"element_id", JSON(idOf("Name"))}, {"text", JSON(accented)}}), "{}");
    EXPECT_EQ(value("name"), accented);

    struct Row {
        const char* target;
        JSON text;
        const char* expected;
    } const rows[] = {
        {"OK", JSON("x"), "desktop_target_not_editable"},
        {"Name", JSON(accented + "x"), "desktop_target_not_editable"},
        {"Name", JSON(nullptr), "desktop_target_not_editable"},
        {"List", JSON("x"), "desktop_target_not_editable"},
    };
    for (const Row& row : rows) {
        observeForm();
        EXPECT_EQ(act("type", {{"element_id", JSON(idOf(row.target))}, {"text", row.text}}),
                  row.expected)
            << row.target;
    }
    // A password field was never observed, so no id reaches it.
    observeForm();
    const std::vector<std::string> seen = labels();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "Password"), 0);
    EXPECT_EQ(act("type", {{"element_id", JSON("99")}, {"text", JSON("x")}}),
              "desktop_target_unavailable");

    // A field that never takes focus: ten waits of 20 ms, then the focus is said to have moved,
    // and nothing was typed.
    observeForm();
    const auto before = clock.monotonicNow();
    mac->model().with([](SimParts& m) { m.record.clear(); });
    EXPECT_EQ(act("type", {{"element_id", JSON(idOf("Stuck"))}, {"text", JSON("x")}}),
              "desktop_focus_changed");
    EXPECT_EQ(clock.monotonicNow() - before, 200ms);
    EXPECT_TRUE(events("key_to_process").empty());
    EXPECT_EQ(events("ax_action").size(), 1u) << "pressed once to take focus";
}

TEST_F(DesktopInteractionTest, ClicksLandWhereTheImageShows) {
    observeForm();
    EXPECT_EQ(act("click", {{"x", JSON(10)}, {"y", JSON(10)}}), "desktop_image_required");

    // The window is 1280 × 800 points, its image 640 × 400 pixels.
    observeForm(R"({"include_image": true})");
    ASSERT_EQ(last.find("image")->find("width")->number(), 640.0);
    EXPECT_EQ(act("click", {{"x", JSON(40)}, {"y", JSON(35)}}), "{}");
    std::vector<JSON> clicks = events("click");
    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_EQ(clicks[0].find("x")->number(), 180.0);
    EXPECT_EQ(clicks[0].find("y")->number(), 120.0);
    EXPECT_EQ(*clicks[0].stringMember("name"), "ok");
    EXPECT_EQ(value("ok"), "1");

    struct Row {
        JSON::Object params;
        const char* expected;
        int count = 0;
        const char* button = "left";
    } const rows[] = {
        {{{"x", JSON(40)}, {"y", JSON(35)}, {"click_count", JSON(3)}}, "{}", 2},
        {{{"x", JSON(40)}, {"y", JSON(35)}, {"click_count", JSON(1.9)}}, "{}", 1},
        {{{"x", JSON(40)}, {"y", JSON(35)}, {"button", JSON("right")}}, "{}", 1, "right"},
        {{{"x", JSON(0)}, {"y", JSON(0)}}, "{}", 1}, // the window's top left corner
        {{{"x", JSON(640)}, {"y", JSON(10)}}, "desktop_image_required"},
        {{{"x", JSON(10)}, {"y", JSON(400)}}, "desktop_image_required"},
        {{{"x", JSON(-0.5)}, {"y", JSON(10)}}, "desktop_image_required"},
        {{{"x", JSON("10")}, {"y", JSON(10)}}, "desktop_image_required"},
        {{{"x", JSON(340)}, {"y", JSON(35)}}, "desktop_protected_ui"}, // the password field
    };
    for (const Row& row : rows) {
        observeForm(R"({"include_image": true})");
        mac->model().with([](SimParts& m) { m.record.clear(); });
        EXPECT_EQ(act("click", row.params), row.expected) << JSON(row.params).data();
        clicks = events("click");
        ASSERT_EQ(clicks.size(), row.count > 0 ? 1u : 0u) << JSON(row.params).data();
        if (row.count > 0) {
            EXPECT_EQ(clicks[0].find("count")->number(), double(row.count));
            EXPECT_EQ(*clicks[0].stringMember("button"), row.button);
        }
    }

    // The window moved since the image was taken.
    observeForm(R"({"include_image": true})");
    effects(R"([{"set": {"target": "w", "attribute": "AXPosition",
                                           "value": {"$point": [103, 50]}}}])");
    EXPECT_EQ(act("click", {{"x", JSON(40)}, {"y", JSON(35)}}), "desktop_focus_changed");
}

TEST_F(DesktopInteractionTest, ScrollingUsesPageActionsOrTheWheel) {
    observeForm();
    EXPECT_EQ(act("scroll", {{"element_id", JSON(idOf("List"))}}), "{}");
    EXPECT_EQ(*events("ax_action").back().stringMember("action"), "AXScrollDownByPage");
    EXPECT_TRUE(events("scroll").empty());

    struct Row {
        const char* target;
        const char* direction;
        const char* expected;
        double pixels;
    } const rows[] = {
        // Web areas always take the wheel; 100 visible points scroll 100 pixels (75 raised).
        {"Page", "down", "{}", -100},
        {"Page", "up", "{}", 100},
        {"Page", "sideways", "{}", -100},
        // 800 visible points (the window's height) scroll 600.
        {"Tall", "up", "{}", 600},
    };
    for (const Row& row : rows) {
        observeForm();
        mac->model().with([](SimParts& m) { m.record.clear(); });
        EXPECT_EQ(act("scroll",
                      {{"element_id", JSON(idOf(row.target))}, {"direction", JSON(row.direction)}}),
                  row.expected)
            << row.target;
        const std::vector<JSON> scrolls = events("scroll");
        ASSERT_EQ(scrolls.size(), 1u) << row.target;
        EXPECT_EQ(scrolls[0].find("pixels")->number(), row.pixels) << row.target;
    }
    // The wheel lands at the middle of the visible part.
    EXPECT_EQ(events("scroll")[0].find("y")->number(), 450.0);

    // An area out of the window cannot be scrolled; one that refuses its page actions and is no
    // scroll area cannot either.
    observeForm();
    effects(R"([{"set": {"target": "page", "attribute": "AXPosition",
                                           "value": {"$point": [540, 900]}}}])");
    EXPECT_EQ(act("scroll", {{"element_id", JSON(idOf("Page"))}}), "desktop_target_unavailable");
    observeForm();
    EXPECT_EQ(act("scroll", {{"element_id", JSON(idOf("OK"))}}), "desktop_action_failed");
}

TEST_F(DesktopInteractionTest, APasswordFieldWithFocusRefusesEverything) {
    const JSON::Object operations[] = {
        {{"operation", JSON("key")}, {"key", JSON("tab")}},
        {{"operation", JSON("type_text")}, {"text", JSON("x")}},
        {{"operation", JSON("press")}, {"element_id", JSON("1")}},
        {{"operation", JSON("type")}, {"element_id", JSON("2")}, {"text", JSON("x")}},
        {{"operation", JSON("scroll")}, {"element_id", JSON("1")}},
        {{"operation", JSON("click")}, {"x", JSON(1)}, {"y", JSON(1)}},
        {{"operation", JSON("nonsense")}},
    };
    for (const JSON::Object& operation : operations) {
        load(editorScenario(form, "", R"("focused_window": "w", "focused_element": "pw")"));
        observeForm(R"({"include_image": true})");
        JSON::Object params = operation;
        params.emplace("snapshot_id", JSON(snapshotID()));
        EXPECT_EQ(act(JSON(params)), "desktop_protected_ui") << JSON(operation).data();
        EXPECT_TRUE(events("key_to_process").empty());
        EXPECT_TRUE(events("click").empty());
        EXPECT_FALSE(desktop->snapshotID());
    }
}

TEST_F(DesktopInteractionTest, FailedPlatformCallsAreReported) {
    observeForm();
    mac->model().put({"input", "fails"}, JSON(true));
    EXPECT_EQ(act("key", {{"key", JSON("tab")}}), "desktop_action_failed");
    mac->model().put({"input", "fails"}, JSON(false));
    load(editorScenario(R"({"role": "AXButton", "title": "Broken",
                            "actions": [{"name": "AXPress", "fails": true}]})"));
    observeForm();
    EXPECT_EQ(act("press", {{"element_id", JSON(idOf("Broken"))}}), "desktop_action_failed");
    observeForm();
    EXPECT_EQ(act("press", {{"element_id", JSON(7)}}), "desktop_target_unavailable");
}

} // namespace
