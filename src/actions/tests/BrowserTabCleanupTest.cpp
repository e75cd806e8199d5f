// The Safari and Chrome tab cleanups against the simulated Mac, on a virtual clock: scenarios of
// windows with tab strips, close buttons, sheets and Chrome's menus.
#include "actions/SystemActions.h"

#include "DesktopFixture.h"

#include <functional>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using namespace corvane;
using namespace corvane::test;

namespace {

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

const std::string safariCloseAction =
    R"({"name": "AXCloseTab", "description": "Close Tab", "does": [{"close_tab": "self"}]})";

struct SafariTab {
    std::string id;
    // The identifier's fields after "uuid=<id>".
    std::string fields = "isPinned=false";
    std::string title = {};                      // the id when empty
    std::string closeAction = safariCloseAction; // none when empty
    std::string more = {};                       // further element fields, each after a comma
};

std::string safariTabs(const std::vector<SafariTab>& tabs) {
    std::vector<std::string> texts;
    for (const SafariTab& tab : tabs) {
        const std::string identifier =
            "TabBarTab?uuid=" + tab.id + (tab.fields.empty() ? "" : "&") + tab.fields;
        std::string actions = R"({"name": "AXPress", "does": [{"select": "self"}]})";
        if (!tab.closeAction.empty()) {
            actions += ", " + tab.closeAction;
        }
        texts.push_back(R"({"id": ")" + tab.id + R"(", "role": "AXRadioButton", "title": ")" +
                        (tab.title.empty() ? tab.id : tab.title) + R"(", "identifier": ")" +
                        identifier + R"(", "actions": [)" + actions + "]" + tab.more + "}");
    }
    return joined(texts);
}

std::string chromeTab(const std::string& id, bool selected = false, bool pinned = false,
                      const std::string& more = "") {
    return R"({"id": ")" + id + R"(", "role": "AXRadioButton", "title": ")" + id +
           R"(", "value": )" + (selected ? "true" : "false") + R"(, "pinned": )" +
           (pinned ? "true" : "false") + more + "}";
}

struct Window {
    std::string id = {};
    std::string tabs = {}; // the tab elements, joined
    std::string subrole = "AXStandardWindow";
    bool sheet = false;
    // What the close button does; no close button when empty.
    std::string closeDoes = R"([{"remove": "window"}])";
    bool closeFails = false;
    // What Chrome's "New Tab" button does ("$" stands for the window's id); "none" for no button.
    std::string newTab = {};
    std::string extraChildren = {}; // each after a comma
};

// A fresh tab opened and selected in the window's strip.
const std::string openFreshTab =
    R"([{"insert": {"parent": "$.tabs", "select": true,
                    "element": {"role": "AXRadioButton", "title": "New Tab"}}}])";

std::string substituted(std::string text, const std::string& id) {
    for (std::size_t at = text.find('$'); at != std::string::npos; at = text.find('$', at)) {
        text.replace(at, 1, id);
        at += id.size();
    }
    return text;
}

std::string window(const Window& w) {
    std::string text =
        R"({"id": ")" + w.id + R"(", "role": "AXWindow", "subrole": ")" + w.subrole + "\"";
    if (!w.closeDoes.empty()) {
        text += R"(, "close_button": ")" + w.id + R"(.close")";
    }
    text += R"(, "children": [)";
    if (!w.closeDoes.empty()) {
        text += R"({"id": ")" + w.id + R"(.close", "role": "AXButton", "subrole": "AXCloseButton",
                    "actions": [{"name": "AXPress", "fails": )" +
                (w.closeFails ? "true" : "false") + R"(, "does": )" + w.closeDoes + "}]}, ";
    }
    text += R"({"id": ")" + w.id + R"(.sheet", "role": "AXSheet", "hidden": )" +
            (w.sheet ? "false" : "true") + "}, ";
    text += R"({"role": "AXGroup", "children": [{"id": ")" + w.id +
            R"(.tabs", "role": "AXTabGroup", "children": [)" + w.tabs + "]}]}";
    if (!w.newTab.empty() && w.newTab != "none") {
        text += R"(, {"id": ")" + w.id + R"(.newtab", "role": "AXButton", "title": "New Tab",
                      "actions": [{"name": "AXPress", "does": )" +
                substituted(w.newTab, w.id) + "}]}";
    }
    return text + w.extraChildren + "]}";
}

struct ChromeMenus {
    std::string tabMenu = "Tab";
    std::string closeTabTitle = "Close Tab";
    bool closeOthersFails = false;
};

std::string chromeMenuBar(const ChromeMenus& m = {}) {
    const auto menu = [](const std::string& id, const std::string& title,
                         const std::string& items) {
        return R"({"id": ")" + id + R"(", "role": "AXMenuBarItem", "title": ")" + title +
               R"(", "actions": [{"name": "AXPress", "does": [{"show": ")" + id +
               R"(.menu"}]}], "children": [{"id": ")" + id +
               R"(.menu", "role": "AXMenu", "hidden": true,
                   "actions": [{"name": "AXCancel", "does": [{"hide": "self"}]}],
                   "children": [)" +
               items + "]}]}";
    };
    const std::string closeTab = R"({"id": "closetab", "role": "AXMenuItem", "title": ")" +
                                 m.closeTabTitle +
                                 R"(", "enabled_for": "close_tab",
            "actions": [{"name": "AXPress", "does": [{"close_tab": "self"}, {"hide": "parent"}]}]})";
    const std::string closeOthers =
        std::string(R"({"id": "closeothers", "role": "AXMenuItem", "title": "Close Other Tabs",
            "enabled_for": "close_other_tabs", "actions": [{"name": "AXPress", "fails": )") +
        (m.closeOthersFails ? "true" : "false") +
        R"(, "does": [{"close_other_tabs": "self"}, {"hide": "parent"}]}]})";
    return R"({"role": "AXMenuBar", "children": [)" + menu("file", "File", closeTab) + ", " +
           menu("tab", m.tabMenu, closeOthers) + "]}";
}

struct App {
    std::string bundleID;
    int pid;
    std::vector<Window> windows;
    std::string menuBar = {}; // none when empty
    bool responsive = true;
};

std::string scenario(const std::vector<App>& apps) {
    std::vector<std::string> texts;
    for (const App& app : apps) {
        std::vector<std::string> windows;
        for (const Window& w : app.windows) {
            windows.push_back(window(w));
        }
        std::string ui = R"({"windows": [)" + joined(windows) + "]";
        if (!app.menuBar.empty()) {
            ui += R"(, "menu_bar": )" + app.menuBar;
        }
        if (!app.windows.empty()) {
            ui += R"(, "main_window": ")" + app.windows.front().id + "\"";
        }
        ui += std::string(R"(, "responsive": )") + (app.responsive ? "true" : "false") + "}";
        texts.push_back(R"({"path": "Applications/)" + app.bundleID + R"(.app", "bundle":
            {"CFBundleIdentifier": ")" +
                        app.bundleID + R"("}, "running": [{"pid": )" + std::to_string(app.pid) +
                        R"(}], "ui": )" + ui + "}");
    }
    return R"({"apps": [)" + joined(texts) + "]}";
}

App safari(std::vector<Window> windows) {
    return App{"com.apple.Safari", 402, std::move(windows)};
}

App chrome(std::vector<Window> windows, const ChromeMenus& menus = {}) {
    for (Window& w : windows) {
        if (w.newTab.empty()) {
            w.newTab = openFreshTab;
        }
    }
    return App{"com.google.Chrome", 510, std::move(windows), chromeMenuBar(menus)};
}

enum class Which { Safari, Chrome };

const std::string attention = "browser_cleanup_pending_user_attention";

class BrowserTabCleanupTest : public desktop_test::DesktopFixture {
protected:
    void load(const std::vector<App>& apps) { DesktopFixture::load(scenario(apps)); }

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
            effects(R"([{"close_tab": "a"}])");
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
    for (const std::string prefix : {"b", "a"}) {
        for (int i = 39; i >= 0; --i) {
            expected.push_back(prefix + std::to_string(i) + " AXCloseTab");
        }
    }
    EXPECT_EQ(actions(), expected);
    EXPECT_EQ(present(), (std::vector<std::string>{"p", "w1"}));
}

// Whatever can be refused by reading is refused before anything is pressed: the browser is as it
// was, tab for tab.
TEST_F(BrowserTabCleanupTest, RefusalsByReadingCloseNothing) {
    // A first window and a second one, "w2", whose tabs are filled in unless it has an id.
    const auto safariWith = [](std::vector<SafariTab> firstTabs, Window second = {}) {
        if (second.id.empty()) {
            second.id = "w2";
            second.tabs = safariTabs(unpinned("b", 2));
        }
        return std::vector<App>{
            safari({Window{.id = "w1", .tabs = safariTabs(firstTabs)}, std::move(second)})};
    };
    const auto pinnedAndOne = [](const std::string& window) {
        return chromeTab(window + ".p", false, true) + ", " + chromeTab(window + ".a", true);
    };
    const auto chromeWith = [&](Window second, const ChromeMenus& menus = {}) {
        second.id = "w2";
        second.tabs = pinnedAndOne("w2");
        return std::vector<App>{
            chrome({Window{.id = "w1", .tabs = pinnedAndOne("w1")}, std::move(second)}, menus)};
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
    const std::string crowd = desktop_test::repeated(R"(, {"role": "AXStaticText"})", 600, "");
    App unresponsive = safari({Window{.id = "w1", .tabs = safariTabs(unpinned("a", 1))}});
    unresponsive.responsive = false;
    App menuless = chrome({Window{.id = "w1", .tabs = pinnedAndOne("w1")}});
    menuless.menuBar.clear();
    const std::string limit = "browser_cleanup_limit_exceeded";

    struct Row {
        const char* name;
        std::vector<App> apps;
        std::string expected;
        Which which = Which::Safari;
        bool keepPinned = true;
    };
    const Row rows[] = {
        {"a sheet in the last window", safariWith(unpinned("a", 2), {.sheet = true}), attention},
        {"a window that is not standard",
         safariWith(unpinned("a", 2), {.subrole = "AXFloatingWindow"}), attention},
        {"a sheet, closing windows", safariWith(unpinned("a", 2), {.sheet = true}), attention,
         Which::Safari, false},
        {"no pinned field", safariWith({{.id = "a", .fields = "uuid2=1"}}),
         "pinned_tab_detection_unverified"},
        {"an unpinned tab without a close action", safariWith({{.id = "a", .closeAction = ""}}),
         "browser_tab_close_unavailable"},
        {"a window without tabs", safariWith(unpinned("a", 2), Window{.id = "w2"}),
         "browser_tab_layout_unavailable"},
        {"81 tabs to close",
         safariWith(unpinned("a", 41), {.id = "w2", .tabs = safariTabs(unpinned("b", 40))}), limit},
        {"a window too large to read whole", safariWith(unpinned("a", 2), {.extraChildren = crowd}),
         limit},
        {"21 windows", {safari(many)}, limit},
        {"a window without a close button", safariWith(unpinned("a", 1), {.closeDoes = ""}),
         "browser_tab_close_unavailable", Which::Safari, false},
        {"Safari does not answer", {unresponsive}, "browser_window_unavailable"},
        {"11 Chrome windows", {chrome(tenPlusOne)}, limit, Which::Chrome},
        {"no menu bar", {menuless}, "browser_menu_unavailable", Which::Chrome},
        {"a Chrome sheet", chromeWith({.sheet = true}), attention, Which::Chrome},
        {"no New Tab button in the last window", chromeWith({.newTab = "none"}),
         "browser_tab_layout_unavailable", Which::Chrome},
        {"a Chrome window too large", chromeWith({.extraChildren = crowd}), limit, Which::Chrome},
        {"no Tab menu", chromeWith({}, {.tabMenu = "Tabs"}), "browser_menu_unavailable",
         Which::Chrome},
        {"a Chrome window without a close button", chromeWith({.closeDoes = ""}),
         "browser_window_unavailable", Which::Chrome, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        load(row.apps);
        const std::vector<std::string> before = present();
        EXPECT_EQ(run(row.which, row.keepPinned), row.expected);
        EXPECT_EQ(actions(), std::vector<std::string>{});
        EXPECT_TRUE(events("activate").empty());
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
    effects(R"([{"pin": "b"}])");
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
    const SafariTab failing{.id = "x", .closeAction = R"({"name": "AXCloseTab", "fails": true,
                                                          "description": "Close Tab"})"};
    const SafariTab staying{.id = "x", .more = R"(, "on_close": [])"};
    const SafariTab asking{.id = "x", .more = R"(, "on_close": [{"show": "w1.sheet"}])"};
    struct Row {
        const char* name;
        SafariTab last;
        std::string expected;
        std::chrono::milliseconds took;
        bool closesLate = false;
    };
    const Row rows[] = {
        {"the press fails", failing, "browser_cleanup_partial", 980ms},
        {"it stays open", staying, attention, 980ms},
        {"it asks in a sheet", asking, attention, 80ms},
        {"it closes after half a second", staying, "{}", 580ms + 80ms, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        load({safari({Window{.id = "w1", .tabs = safariTabs({{.id = "a"}, row.last})}})});
        auto probe = start(Which::Safari, true);
        const std::string outcome = finish(probe, [&](std::chrono::milliseconds elapsed) {
            if (row.closesLate && elapsed == 500ms) {
                effects(R"([{"remove": "x"}])");
            }
        });
        EXPECT_EQ(outcome, row.expected);
        EXPECT_EQ(took, row.took);
        EXPECT_EQ(live("a"), !row.closesLate); // "a" is next only once "x" is gone
    }
}

// Without pinned tabs to keep, every window goes by its close button; Chrome's is raised first.
TEST_F(BrowserTabCleanupTest, WithoutPinnedTabsEveryWindowCloses) {
    const std::string removed = R"([{"remove": "window"}])";
    const std::string asks = R"([{"show": "w2.sheet"}])";
    const std::vector<std::string> pressed = {"w1.close AXPress", "w2.close AXPress"};
    const std::vector<std::string> raisedAndPressed = {"w1 AXRaise", "w1.close AXPress",
                                                       "w2 AXRaise", "w2.close AXPress"};
    struct Row {
        const char* name;
        Which which;
        bool firstFails;
        std::string secondClose;
        std::string expected;
        std::vector<std::string> actions;
        std::chrono::milliseconds took = 0ms; // not checked when zero
    };
    const Row rows[] = {
        {"Safari, both close", Which::Safari, false, removed, "{}", pressed},
        {"Safari, the second asks first", Which::Safari, false, asks, attention, pressed},
        {"Safari, the first button fails",
         Which::Safari,
         true,
         removed,
         "native_control_unavailable",
         {"w1.close AXPress!"}},
        {"Chrome, both close", Which::Chrome, false, removed, "{}", raisedAndPressed},
        {"Chrome, the second asks first", Which::Chrome, false, asks, attention, raisedAndPressed,
         1000ms},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const bool isSafari = row.which == Which::Safari;
        std::vector<Window> windows{
            Window{.id = "w1",
                   .tabs = isSafari ? safariTabs({{.id = "p", .fields = "isPinned=true"}})
                                    : chromeTab("p", true, true),
                   .closeFails = row.firstFails},
            Window{.id = "w2",
                   .tabs = isSafari ? safariTabs(unpinned("b", 1)) : chromeTab("q", true),
                   .closeDoes = row.secondClose}};
        const App app = isSafari ? safari(std::move(windows)) : chrome(std::move(windows));
        load({app});
        EXPECT_EQ(run(row.which, false), row.expected);
        EXPECT_EQ(actions(), row.actions);
        EXPECT_EQ(live("w1"), row.firstFails);
        EXPECT_EQ(live("w2"), row.expected != "{}");
        EXPECT_FALSE(mac->model().pidsOf(app.bundleID).empty());
        if (row.took > 0ms) {
            EXPECT_EQ(took, row.took);
        }
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
    EXPECT_EQ(events("activate").size(), 2u);
    EXPECT_EQ(present(), (std::vector<std::string>{"p", "w1"}));
    // Both menus were closed again.
    EXPECT_EQ(mac->macPorts().accessibility.attribute(*mac->model().named("tab.menu"), "AXRole"),
              std::nullopt);
    EXPECT_EQ(mac->macPorts().accessibility.attribute(*mac->model().named("file.menu"), "AXRole"),
              std::nullopt);
}

TEST_F(BrowserTabCleanupTest, ChromeStopsWhenTheTabsDoNotFollow) {
    const std::string strip = chromeTab("p", false, true) + ", " + chromeTab("a", true);
    const std::string unselected =
        R"({"insert": {"parent": "$.tabs", "element": {"role": "AXRadioButton"}}})";
    const std::string selected =
        R"({"insert": {"parent": "$.tabs", "select": true, "element": {"role": "AXRadioButton"}}})";
    const std::string freshStays = R"([{"insert": {"parent": "$.tabs", "select": true,
                         "element": {"role": "AXRadioButton", "on_close": []}}}])";
    const std::string staying = ", " + chromeTab("b", false, false, R"(, "on_close": [])");
    const std::string asking =
        ", " + chromeTab("b", false, false, R"(, "on_close": [{"show": "w1.sheet"}])");
    struct Row {
        const char* name;
        std::string tabs;
        std::string newTab;
        std::string expected;
        // Whether "Close Other Tabs" and "Close Tab" were chosen.
        bool closedOthers;
        bool closedFresh = false;
        ChromeMenus menus = {};
    };
    const Row rows[] = {
        {"the fresh tab is not selected", strip, "[" + unselected + "]", "browser_tabs_changed",
         false},
        {"two tabs open", strip, "[" + unselected + ", " + selected + "]", "browser_tabs_changed",
         false},
        {"no tab opens", strip, "[]", "browser_tabs_changed", false},
        {"a tab stays open", strip + staying, openFreshTab, attention, true},
        {"a tab asks in a sheet", strip + asking, openFreshTab, attention, true},
        {"the fresh tab stays open", strip, freshStays, attention, true, true},
        {"Close Other Tabs fails",
         strip + ", " + chromeTab("b"),
         openFreshTab,
         "native_control_unavailable",
         false,
         false,
         {.closeOthersFails = true}},
        {"no Close Tab item",
         strip,
         openFreshTab,
         "browser_menu_unavailable",
         true,
         false,
         {.closeTabTitle = "Close Window"}},
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
            EXPECT_EQ(mac->macPorts().accessibility.attribute(*mac->model().named(menu), "AXRole"),
                      std::nullopt)
                << menu;
        }
    }
}
