// The Safari and Chrome tab cleanups against the simulated Mac, on a virtual clock.
#include "BrowserScenarios.h"
#include "CorvaneNative/SystemActions.h"
#include "CorvanePlatform/sim/SimControlCommands.h"
#include "CorvanePlatform/sim/SimModel.h"
#include "CorvanePlatform/sim/SimulatedMac.h"
#include "support/FakePlatform.h"
#include "support/VirtualClock.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

using namespace std::chrono_literals;
using namespace corvane;
using namespace corvane::browser_test;
using namespace corvane::test;

namespace {

enum class Which { Safari, Chrome };

class BrowserTabCleanupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        mac = std::make_unique<SimulatedMac>(root.path(), SimulatedMac::Options{&clock, &defaults});
        platform = std::make_unique<Platform>(mac->platform());
    }

    void load(const std::vector<App>& apps) { mac->load(scenario(apps)); }

    // Starts a cleanup, which runs until its first wait.
    std::shared_ptr<Probe> start(Which which, bool keepPinned) {
        started = clock.monotonicNow();
        return watch(which == Which::Safari ? SystemActions::safariCleanup(*platform, keepPinned)
                                            : SystemActions::chromeCleanup(*platform, keepPinned));
    }

    // Moves the virtual clock in 10 ms steps until the cleanup ends; `meanwhile` sees the time
    // since the start after each step.
    std::string finish(const std::shared_ptr<Probe>& probe,
                       const std::function<void(std::chrono::milliseconds)>& meanwhile = {}) {
        for (auto elapsed = 0ms; !probe->done && elapsed < 20s;) {
            clock.advance(10ms);
            elapsed += 10ms;
            if (meanwhile) {
                meanwhile(elapsed);
            }
        }
        took =
            std::chrono::duration_cast<std::chrono::milliseconds>(clock.monotonicNow() - started);
        return probe->outcome;
    }

    std::string run(Which which, bool keepPinned) { return finish(start(which, keepPinned)); }

    // The accessibility actions the cleanup asked for, in order: "element action", with "!" for
    // one that was refused; unnamed elements show as "?".
    std::vector<std::string> actions() {
        std::vector<std::string> done;
        for (const JSON& event : mac->model().events()) {
            if (*event.stringMember("kind") != "ax_action") {
                continue;
            }
            const std::string* name = event.stringMember("name");
            done.push_back((name != nullptr ? *name : "?") + " " + *event.stringMember("action") +
                           (event.find("performed")->isTrue() ? "" : "!"));
        }
        return done;
    }

    int activations() {
        const std::vector<JSON> events = mac->model().events();
        return static_cast<int>(std::count_if(events.begin(), events.end(), [](const JSON& e) {
            return *e.stringMember("kind") == "activate";
        }));
    }

    // The named windows and tabs that exist now.
    std::vector<std::string> present() {
        std::vector<std::string> names;
        const JSON state = mac->model().dump();
        for (const auto& [name, attributes] : *state.find("elements")->object()) {
            const std::string* role = attributes.stringMember("AXRole");
            if (role != nullptr && (*role == "AXRadioButton" || *role == "AXWindow")) {
                names.push_back(name);
            }
        }
        return names;
    }

    bool live(const std::string& name) { return mac->model().named(name).has_value(); }

    void control(const std::string& command) {
        const JSON answer = mac->commands().handle(JSON::parse(command));
        ASSERT_TRUE(answer.find("ok")->isTrue()) << answer.data();
    }

    QTemporaryDir root;
    VirtualClock clock;
    MemoryDefaults defaults;
    std::unique_ptr<SimulatedMac> mac;
    std::unique_ptr<Platform> platform;
    Clock::MonotonicTime started;
    std::chrono::milliseconds took{0};
};

std::vector<SafariTab> unpinned(const std::string& prefix, int count) {
    std::vector<SafariTab> tabs;
    for (int i = 0; i < count; ++i) {
        tabs.push_back({.id = prefix + std::to_string(i)});
    }
    return tabs;
}

} // namespace

TEST(SafariPinnedState, OnlyOneExactFieldIsProof) {
    const std::pair<const char*, std::optional<bool>> rows[] = {
        {"TabBarTab?uuid=1&isPinned=true", true},
        {"TabBarTab?isPinned=false", false},
        {"TabBarTab?&&uuid=1&&isPinned=false&", false}, // empty pieces are dropped
        {"TabBarTab?uuid=1", std::nullopt},
        {"TabBarTab?uuid=1&isPinned=true&isPinned=true", std::nullopt},
        {"TabBarTab?isPinned=true&isPinned=false", std::nullopt},
        {"TabBarTab?isPinned=", std::nullopt},
        {"TabBarTab?isPinned=TRUE", std::nullopt},
        {"TabBarTab?isPinned=true ", std::nullopt},
        {"TabBarTab?IsPinned=true", std::nullopt},
        {"tabbartab?isPinned=true", std::nullopt},
        {"TabBarTab&isPinned=true", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [identifier, expected] : rows) {
        EXPECT_EQ(SystemActions::pinnedState(identifier), expected) << identifier;
    }
}

TEST_F(BrowserTabCleanupTest, NotRunningClosesNothing) {
    load({});
    EXPECT_EQ(run(Which::Safari, true), "{}");
    EXPECT_EQ(run(Which::Chrome, false), "{}");
    EXPECT_TRUE(mac->model().events().empty());
}

// Tabs are closed from the last listed to the first, and found again by identity: two tabs with
// one title are two tabs, a pinned tab titled like a closed one stays, and a window whose last tab
// closed goes with it.
TEST_F(BrowserTabCleanupTest, SafariClosesUnpinnedTabsLastToFirst) {
    load({safari({Window{.id = "w1",
                         .tabs = safariTabs(
                             {{.id = "p", .fields = "isPinned=true", .title = "Docs"},
                              {.id = "a", .title = "Docs", .closeAction = R"({"name": "AXClose"})"},
                              {.id = "b", .fields = "isPinned=true&x=1"}})},
                  Window{.id = "w2",
                         .tabs = safariTabs({{.id = "c",
                                              .fields = "x=&isPinned=false",
                                              .title = "News",
                                              .closeAction = R"({"name": "Name:Close",
                                                  "description": "CLOSE TAB",
                                                  "does": [{"close_tab": "self"}]})"},
                                             {.id = "d", .title = "News"}})}})});
    // "a" closes through a plain "AXClose" that the sim does not act on: Safari closes it late.
    auto probe = start(Which::Safari, true);
    const std::string outcome = finish(probe, [&](std::chrono::milliseconds elapsed) {
        if (elapsed == 1000ms) {
            control(R"({"cmd": "ax", "does": [{"close_tab": "a"}]})");
        }
    });
    EXPECT_EQ(outcome, "{}");
    EXPECT_EQ(actions(), (std::vector<std::string>{"d AXCloseTab", "c Name:Close", "a AXClose"}));
    EXPECT_EQ(present(), (std::vector<std::string>{"b", "p", "w1"}));
}

TEST_F(BrowserTabCleanupTest, SafariClosesEightyTabsLastToFirst) {
    std::vector<SafariTab> first = unpinned("a", 40), second = unpinned("b", 40);
    first.insert(first.begin(), {.id = "p", .fields = "isPinned=true"});
    load({safari({Window{.id = "w1", .tabs = safariTabs(first)},
                  Window{.id = "w2", .tabs = safariTabs(second)}})});
    EXPECT_EQ(run(Which::Safari, true), "{}");
    std::vector<std::string> expected;
    for (auto tab = second.rbegin(); tab != second.rend(); ++tab) {
        expected.push_back(tab->id + " AXCloseTab");
    }
    for (auto tab = first.rbegin(); tab != first.rend() - 1; ++tab) {
        expected.push_back(tab->id + " AXCloseTab");
    }
    EXPECT_EQ(actions(), expected);
    EXPECT_EQ(present(), (std::vector<std::string>{"p", "w1"}));
}

// Whatever can be refused by reading is refused before anything is pressed: the browser is as it
// was, tab for tab.
TEST_F(BrowserTabCleanupTest, RefusalsByReadingCloseNothing) {
    const auto safariWith = [](std::vector<SafariTab> firstTabs, Window second = {}) {
        std::vector<Window> windows{
            Window{.id = "w1", .tabs = safariTabs(firstTabs)},
            second.id.empty() ? Window{.id = "w2", .tabs = safariTabs(unpinned("b", 2))} : second};
        return std::vector<App>{safari(std::move(windows))};
    };
    std::vector<Window> many;
    for (int i = 0; i < 21; ++i) {
        many.push_back(Window{.id = "w" + std::to_string(i),
                              .tabs = safariTabs(unpinned("t" + std::to_string(i), 1))});
    }
    std::vector<Window> tenPlusOne;
    for (int i = 0; i < 11; ++i) {
        tenPlusOne.push_back(Window{.id = "w" + std::to_string(i),
                                    .tabs = chromeTab("t" + std::to_string(i), true)});
    }
    std::string crowd;
    for (int i = 0; i < 600; ++i) {
        crowd += R"(, {"role": "AXStaticText"})";
    }
    const auto pinnedAndOne = [](const std::string& window) {
        return chromeTab(window + ".p", false, true) + ", " + chromeTab(window + ".a", true);
    };
    std::vector<SafariTab> eightyOne = unpinned("a", 41);

    struct Row {
        const char* name;
        std::vector<App> apps;
        Which which;
        bool keepPinned;
        const char* expected;
    };
    const Row rows[] = {
        {"a sheet in the last window",
         safariWith(unpinned("a", 2),
                    Window{.id = "w2", .tabs = safariTabs(unpinned("b", 1)), .sheet = true}),
         Which::Safari, true, "browser_cleanup_pending_user_attention"},
        {"a window that is not standard",
         safariWith(unpinned("a", 2), Window{.id = "w2",
                                             .tabs = safariTabs(unpinned("b", 1)),
                                             .subrole = "AXFloatingWindow"}),
         Which::Safari, true, "browser_cleanup_pending_user_attention"},
        {"a sheet, closing windows",
         safariWith(unpinned("a", 2),
                    Window{.id = "w2", .tabs = safariTabs(unpinned("b", 1)), .sheet = true}),
         Which::Safari, false, "browser_cleanup_pending_user_attention"},
        {"no pinned field", safariWith({{.id = "a", .fields = "uuid2=1"}}), Which::Safari, true,
         "pinned_tab_detection_unverified"},
        {"two pinned fields", safariWith({{.id = "a", .fields = "isPinned=false&isPinned=false"}}),
         Which::Safari, true, "pinned_tab_detection_unverified"},
        {"a pinned field neither true nor false", safariWith({{.id = "a", .fields = "isPinned=1"}}),
         Which::Safari, true, "pinned_tab_detection_unverified"},
        {"an unpinned tab without a close action", safariWith({{.id = "a", .closeAction = ""}}),
         Which::Safari, true, "browser_tab_close_unavailable"},
        {"a window without tabs", safariWith(unpinned("a", 2), Window{.id = "w2"}), Which::Safari,
         true, "browser_tab_layout_unavailable"},
        {"81 tabs to close",
         safariWith(eightyOne, Window{.id = "w2", .tabs = safariTabs(unpinned("b", 40))}),
         Which::Safari, true, "browser_cleanup_limit_exceeded"},
        {"a window too large to read whole",
         safariWith(
             unpinned("a", 2),
             Window{.id = "w2", .tabs = safariTabs(unpinned("b", 1)), .extraChildren = crowd}),
         Which::Safari, true, "browser_cleanup_limit_exceeded"},
        {"21 windows", {safari(many)}, Which::Safari, true, "browser_cleanup_limit_exceeded"},
        {"a window without a close button",
         safariWith(unpinned("a", 1),
                    Window{.id = "w2", .tabs = safariTabs(unpinned("b", 1)), .closeDoes = ""}),
         Which::Safari, false, "browser_tab_close_unavailable"},
        {"Safari does not answer",
         {App{"com.apple.Safari",
              402,
              {Window{.id = "w1", .tabs = safariTabs(unpinned("a", 1))}},
              "",
              false}},
         Which::Safari,
         true,
         "browser_window_unavailable"},
        {"11 Chrome windows",
         {chrome(tenPlusOne)},
         Which::Chrome,
         true,
         "browser_cleanup_limit_exceeded"},
        {"no menu bar",
         {App{"com.google.Chrome",
              510,
              {Window{.id = "w1", .tabs = pinnedAndOne("w1"), .newTab = openFreshTab}}}},
         Which::Chrome,
         true,
         "browser_menu_unavailable"},
        {"a Chrome sheet",
         {chrome({Window{.id = "w1", .tabs = pinnedAndOne("w1")},
                  Window{.id = "w2", .tabs = pinnedAndOne("w2"), .sheet = true}})},
         Which::Chrome,
         true,
         "browser_cleanup_pending_user_attention"},
        {"no New Tab button in the last window",
         {chrome({Window{.id = "w1", .tabs = pinnedAndOne("w1")},
                  Window{.id = "w2", .tabs = pinnedAndOne("w2"), .newTab = "none"}})},
         Which::Chrome,
         true,
         "browser_tab_layout_unavailable"},
        {"a Chrome window too large",
         {chrome({Window{.id = "w1", .tabs = pinnedAndOne("w1")},
                  Window{.id = "w2", .tabs = pinnedAndOne("w2"), .extraChildren = crowd}})},
         Which::Chrome,
         true,
         "browser_cleanup_limit_exceeded"},
        {"no Tab menu",
         {chrome({Window{.id = "w1", .tabs = pinnedAndOne("w1")}}, ChromeMenus{.tabMenu = "Tabs"})},
         Which::Chrome,
         true,
         "browser_menu_unavailable"},
        {"a Chrome window without a close button",
         {chrome({Window{.id = "w1", .tabs = pinnedAndOne("w1")},
                  Window{.id = "w2", .tabs = pinnedAndOne("w2"), .closeDoes = ""}})},
         Which::Chrome,
         false,
         "browser_window_unavailable"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        load(row.apps);
        const std::vector<std::string> before = present();
        EXPECT_EQ(run(row.which, row.keepPinned), row.expected);
        EXPECT_EQ(actions(), std::vector<std::string>{});
        EXPECT_EQ(activations(), 0);
        EXPECT_EQ(present(), before);
    }
}

// The user pins the next tab while the first one closes: nothing more is closed.
TEST_F(BrowserTabCleanupTest, SafariTabPinnedBetweenReadingAndClosing) {
    load({safari({Window{
        .id = "w1",
        .tabs = safariTabs(
            {{.id = "p", .fields = "isPinned=true"}, {.id = "a"}, {.id = "b"}, {.id = "c"}})}})});
    auto probe = start(Which::Safari, true);
    ASSERT_FALSE(probe->done);
    EXPECT_FALSE(live("c")); // pressed first, now confirming
    control(R"({"cmd": "ax", "does": [{"pin": "b"}]})");
    EXPECT_EQ(finish(probe), "browser_tabs_changed");
    EXPECT_EQ(actions(), std::vector<std::string>{"c AXCloseTab"});
    EXPECT_EQ(present(), (std::vector<std::string>{"a", "b", "p", "w1"}));
}

// A screen that locks while a cleanup runs stops it before its next press.
TEST_F(BrowserTabCleanupTest, ScreenLockedMidwayStopsBeforeTheNextPress) {
    load({safari({Window{.id = "w1", .tabs = safariTabs(unpinned("a", 3))}})});
    auto probe = start(Which::Safari, true);
    mac->model().lockScreen();
    EXPECT_EQ(finish(probe), "device_locked");
    EXPECT_EQ(actions(), std::vector<std::string>{"a2 AXCloseTab"});
    EXPECT_TRUE(live("a0") && live("a1"));

    const std::string tabs = chromeTab("p", false, true) + ", " + chromeTab("a", true);
    load({chrome({Window{.id = "w1", .tabs = tabs}})});
    probe = start(Which::Chrome, true);
    mac->model().lockScreen(); // during the wait after "New Tab"
    EXPECT_EQ(finish(probe), "device_locked");
    EXPECT_EQ(actions(), (std::vector<std::string>{"w1 AXRaise", "w1.newtab AXPress"}));
    EXPECT_TRUE(live("a"));

    load({safari({Window{.id = "w1", .tabs = safariTabs(unpinned("a", 1))},
                  Window{.id = "w2", .tabs = safariTabs(unpinned("b", 1))}})});
    probe = start(Which::Safari, false);
    mac->model().lockScreen();
    EXPECT_EQ(finish(probe), "device_locked");
    EXPECT_EQ(actions(), std::vector<std::string>{"w1.close AXPress"});
    EXPECT_TRUE(live("w2"));
}

// Every close is confirmed by reading the tabs again: ten checks over about a second, then the
// code says whether Safari waits for the person or the tab could not be pressed.
TEST_F(BrowserTabCleanupTest, SafariConfirmsEachCloseByReadingAgain) {
    struct Row {
        const char* name;
        SafariTab last;
        const char* expected;
        std::chrono::milliseconds took;
        bool closesLate = false;
    };
    const Row rows[] = {
        {"the press fails",
         {.id = "x", .closeAction = R"({"name": "AXCloseTab", "description": "Close Tab",
                                        "fails": true})"},
         "browser_cleanup_partial",
         980ms},
        {"it stays open",
         {.id = "x", .more = R"(, "on_close": [])"},
         "browser_cleanup_pending_user_attention",
         980ms},
        {"it asks in a sheet",
         {.id = "x", .more = R"(, "on_close": [{"show": "w1.sheet"}])"},
         "browser_cleanup_pending_user_attention",
         80ms},
        {"it closes after half a second",
         {.id = "x", .more = R"(, "on_close": [])"},
         "{}",
         580ms + 80ms,
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        load({safari({Window{.id = "w1", .tabs = safariTabs({{.id = "a"}, row.last})}})});
        auto probe = start(Which::Safari, true);
        const std::string outcome = finish(probe, [&](std::chrono::milliseconds elapsed) {
            if (row.closesLate && elapsed == 500ms) {
                control(R"({"cmd": "ax", "does": [{"remove": "x"}]})");
            }
        });
        EXPECT_EQ(outcome, row.expected);
        EXPECT_EQ(took, row.took);
        EXPECT_EQ(live("a"), !row.closesLate); // "a" is next only once "x" is gone
    }
}

TEST_F(BrowserTabCleanupTest, SafariWithoutPinnedTabsClosesItsWindows) {
    struct Row {
        const char* name;
        bool firstFails;
        std::string secondClose;
        const char* expected;
        std::vector<std::string> actions;
    };
    const Row rows[] = {
        {"both close",
         false,
         R"([{"remove": "window"}])",
         "{}",
         {"w1.close AXPress", "w2.close AXPress"}},
        {"the second asks first",
         false,
         R"([{"show": "w2.sheet"}])",
         "browser_cleanup_pending_user_attention",
         {"w1.close AXPress", "w2.close AXPress"}},
        {"the first button fails",
         true,
         R"([{"remove": "window"}])",
         "native_control_unavailable",
         {"w1.close AXPress!"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        load({safari({Window{.id = "w1",
                             .tabs = safariTabs({{.id = "p", .fields = "isPinned=true"}}),
                             .closeFails = row.firstFails},
                      Window{.id = "w2",
                             .tabs = safariTabs(unpinned("b", 1)),
                             .closeDoes = row.secondClose}})});
        EXPECT_EQ(run(Which::Safari, false), row.expected);
        EXPECT_EQ(actions(), row.actions);
        EXPECT_EQ(live("w1"), row.firstFails);
        EXPECT_FALSE(mac->model().pidsOf("com.apple.Safari").empty());
    }
}

// Each window in turn: raised, a fresh tab, "Close Other Tabs" (which keeps pinned tabs), a look
// that nothing is left to close, then "Close Tab" for the fresh one. A window without pinned tabs
// closes with its last tab.
TEST_F(BrowserTabCleanupTest, ChromeKeepsPinnedTabsInEveryWindow) {
    load({chrome({Window{.id = "w1",
                         .tabs = chromeTab("p", false, true) + ", " + chromeTab("a", true) + ", " +
                                 chromeTab("b")},
                  Window{.id = "w2", .tabs = chromeTab("c") + ", " + chromeTab("d", true)}})});
    EXPECT_EQ(run(Which::Chrome, true), "{}");
    const std::vector<std::string> oneWindow = {
        " AXRaise",    ".newtab AXPress",   "tab AXPress",  "closeothers AXPress",
        "tab AXPress", "tab.menu AXCancel", "file AXPress", "closetab AXPress"};
    std::vector<std::string> expected;
    for (const char* w : {"w1", "w2"}) {
        for (const std::string& step : oneWindow) {
            expected.push_back(step.starts_with(" ") || step.starts_with(".") ? w + step : step);
        }
    }
    EXPECT_EQ(actions(), expected);
    EXPECT_EQ(activations(), 2);
    EXPECT_EQ(present(), (std::vector<std::string>{"p", "w1"}));
    // Both menus were closed again.
    EXPECT_EQ(platform->accessibility.attribute(*mac->model().named("tab.menu"), "AXRole"),
              std::nullopt);
    EXPECT_EQ(platform->accessibility.attribute(*mac->model().named("file.menu"), "AXRole"),
              std::nullopt);
}

TEST_F(BrowserTabCleanupTest, ChromeStopsWhenTheTabsDoNotFollow) {
    const std::string strip = chromeTab("p", false, true) + ", " + chromeTab("a", true);
    struct Row {
        const char* name;
        std::string tabs;
        std::string newTab;
        ChromeMenus menus;
        const char* expected;
        // Whether "Close Other Tabs" and "Close Tab" were chosen.
        bool closedOthers;
        bool closedFresh = false;
    };
    const Row rows[] = {
        {"the fresh tab is not selected",
         strip,
         R"([{"insert": {"parent": "$.tabs", "element": {"role": "AXRadioButton"}}}])",
         {},
         "browser_tabs_changed",
         false},
        {"two tabs open",
         strip,
         R"([{"insert": {"parent": "$.tabs", "element": {"role": "AXRadioButton"}}},
             {"insert": {"parent": "$.tabs", "select": true,
                         "element": {"role": "AXRadioButton"}}}])",
         {},
         "browser_tabs_changed",
         false},
        {"no tab opens", strip, "[]", {}, "browser_tabs_changed", false},
        {"a tab stays open",
         strip + ", " + chromeTab("b", false, false, R"(, "on_close": [])"),
         openFreshTab,
         {},
         "browser_cleanup_pending_user_attention",
         true},
        {"a tab asks in a sheet",
         strip + ", " + chromeTab("b", false, false, R"(, "on_close": [{"show": "w1.sheet"}])"),
         openFreshTab,
         {},
         "browser_cleanup_pending_user_attention",
         true},
        {"the fresh tab stays open",
         strip,
         R"([{"insert": {"parent": "$.tabs", "select": true,
                         "element": {"role": "AXRadioButton", "on_close": []}}}])",
         {},
         "browser_cleanup_pending_user_attention",
         true,
         true},
        {"Close Other Tabs fails",
         strip + ", " + chromeTab("b"),
         openFreshTab,
         {.closeOthersFails = true},
         "native_control_unavailable",
         false},
        {"no Close Tab item",
         strip,
         openFreshTab,
         {.closeTabTitle = "Close Window"},
         "browser_menu_unavailable",
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        load({chrome({Window{.id = "w1", .tabs = row.tabs, .newTab = row.newTab}}, row.menus)});
        EXPECT_EQ(run(Which::Chrome, true), row.expected);
        const std::vector<std::string> done = actions();
        EXPECT_EQ(std::count(done.begin(), done.end(), "closeothers AXPress"),
                  row.closedOthers ? 1 : 0);
        EXPECT_EQ(std::count(done.begin(), done.end(), "closetab AXPress"),
                  row.closedFresh ? 1 : 0);
        EXPECT_TRUE(live("p"));
        EXPECT_EQ(live("a"), !row.closedOthers);
        // An opened menu is never left open.
        for (const char* menu : {"file.menu", "tab.menu"}) {
            EXPECT_EQ(platform->accessibility.attribute(*mac->model().named(menu), "AXRole"),
                      std::nullopt)
                << menu;
        }
    }
}

TEST_F(BrowserTabCleanupTest, ChromeWithoutPinnedTabsClosesItsWindows) {
    const std::string tabs = chromeTab("p", true, true);
    load({chrome(
        {Window{.id = "w1", .tabs = tabs}, Window{.id = "w2", .tabs = chromeTab("q", true)}})});
    EXPECT_EQ(run(Which::Chrome, false), "{}");
    EXPECT_EQ(actions(), (std::vector<std::string>{"w1 AXRaise", "w1.close AXPress", "w2 AXRaise",
                                                   "w2.close AXPress"}));
    EXPECT_EQ(present(), std::vector<std::string>{});

    // A window that asks first is still there after ten checks.
    load({chrome({Window{.id = "w1", .tabs = tabs, .closeDoes = R"([{"show": "w1.sheet"}])"}})});
    EXPECT_EQ(run(Which::Chrome, false), "browser_cleanup_pending_user_attention");
    EXPECT_EQ(took, 1000ms);
}
