#include "SimFixture.h"

#include <qcoro/qcorotask.h>

#include <QCoreApplication>

#include <gmock/gmock.h>

// GCC 12 reports members of this file's tables (std::optional and std::variant inside aggregates)
// as maybe uninitialised when optimising; every row initialises them. A known false positive.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace corvane {
namespace {

std::optional<std::int64_t> integerValue(MacAccessibility& ax, AXElement element) {
    std::optional<PlatformValue> value = ax.attribute(element, "AXValue");
    return value ? value->integer() : std::nullopt;
}

std::vector<AXElement> children(MacAccessibility& ax, AXElement element) {
    std::vector<AXElement> result;
    if (std::optional<PlatformValue> value = ax.attribute(element, "AXChildren")) {
        for (const PlatformValue& child : *value->array()) {
            result.push_back(*child.element());
        }
    }
    return result;
}

TEST_F(SimFixture, PressRunsTheElementsBehaviour) {
    MacAccessibility& ax = macPorts().accessibility;
    const AXElement bold = named("textedit.bold");
    EXPECT_EQ(integerValue(ax, bold), 0);
    EXPECT_TRUE(ax.performAction(bold, "AXPress"));
    EXPECT_EQ(integerValue(ax, bold), 1);
    EXPECT_TRUE(ax.performAction(bold, "AXPress"));
    EXPECT_EQ(integerValue(ax, bold), 0);

    // A failing control, an action the element does not offer.
    EXPECT_FALSE(ax.performAction(named("textedit.disabled"), "AXPress"));
    EXPECT_FALSE(ax.performAction(bold, "AXIncrement"));

    // Saving renames the window; closing it removes it, and its handles go dead.
    const AXElement window = named("textedit.window");
    EXPECT_TRUE(ax.performAction(named("textedit.save"), "AXPress"));
    EXPECT_EQ(text(window, "AXTitle"), "Notes.rtf");
    const std::optional<PlatformValue> close = ax.attribute(window, "AXCloseButton");
    ASSERT_TRUE(close && close->element());
    EXPECT_TRUE(ax.performAction(*close->element(), "AXPress"));
    EXPECT_FALSE(ax.attribute(window, "AXRole"));
    EXPECT_FALSE(ax.attribute(ax.applicationElement(845), "AXFocusedWindow"));
    EXPECT_TRUE(ax.attribute(ax.applicationElement(845), "AXWindows")->array()->empty());
}

TEST_F(SimFixture, SafariTabsCloseThroughTheirDescribedAction) {
    MacAccessibility& ax = macPorts().accessibility;
    const AXElement tabs = named("safari.w1.tabs");
    ASSERT_EQ(children(ax, tabs).size(), 4u);
    const AXElement weather = named("safari.w1.tab3");
    EXPECT_EQ(text(weather, "AXIdentifier"), "TabBarTab?uuid=safari.w1-3&isPinned=false");
    EXPECT_EQ(text(named("safari.w1.tab0"), "AXIdentifier"),
              "TabBarTab?uuid=safari.w1-0&isPinned=true");

    const std::vector<std::string> actions = *ax.actionNames(weather);
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(ax.actionDescription(weather, actions[1]), "Close Tab");
    EXPECT_EQ(ax.actionDescription(weather, "AXPress"), "press");
    EXPECT_TRUE(ax.performAction(weather, actions[1]));
    EXPECT_EQ(children(ax, tabs).size(), 3u);
    EXPECT_FALSE(ax.attribute(weather, "AXRole"));

    // An application's children are its windows and its menu bar.
    EXPECT_EQ(children(ax, ax.applicationElement(402)).size(), 3u);
}

TEST_F(SimFixture, QuitRequestsFollowEachApplicationsBehaviour) {
    Workspace& workspace = platform().workspace;
    EXPECT_FALSE(workspace.terminate(301)); // Finder refuses
    MacAccessibility& ax = macPorts().accessibility;
    const AXElement sheet = named("textedit.save_sheet");
    EXPECT_FALSE(ax.attribute(sheet, "AXRole"));
    EXPECT_TRUE(workspace.terminate(845)); // TextEdit accepts but shows its save sheet
    EXPECT_EQ(model().pidsOf("com.apple.TextEdit").size(), 1u);
    EXPECT_EQ(workspace.frontmostApplication()->pid, 845);
    EXPECT_EQ(text(sheet, "AXRole"), "AXSheet");
    EXPECT_TRUE(ax.performAction(named("textedit.save_sheet.cancel"), "AXPress"));
    EXPECT_FALSE(ax.attribute(sheet, "AXRole"));
    EXPECT_TRUE(workspace.terminate(845));
    EXPECT_TRUE(ax.performAction(named("textedit.save_sheet.dont_save"), "AXPress"));
    EXPECT_TRUE(model().pidsOf("com.apple.TextEdit").empty());
    EXPECT_EQ(workspace.frontmostApplication()->pid, 301);
}

// Waiting on a task that throws never returns: the failure is caught inside.
QCoro::Task<bool> opens(Workspace* workspace, std::string path) {
    try {
        co_await workspace->openApplication(std::move(path), true);
        co_return true;
    } catch (const std::runtime_error&) {
        co_return false;
    }
}

TEST_F(SimFixture, OpeningLaunchesOrActivatesAndIsRecorded) {
    Workspace& workspace = platform().workspace;
    const std::string calculator =
        (root.path() + QStringLiteral("/System/Applications/Calculator.app")).toStdString();
    QCoro::waitFor(workspace.openApplication(calculator, true));
    const std::vector<std::int32_t> pids = model().pidsOf("com.apple.calculator");
    ASSERT_EQ(pids.size(), 1u);
    EXPECT_EQ(workspace.frontmostApplication()->pid, pids.front());
    // The tree comes from the scenario's template.
    EXPECT_EQ(text(named("calculator.window"), "AXTitle"), "Calculator");

    QCoro::waitFor(workspace.openApplication(calculator, false));
    EXPECT_EQ(model().pidsOf("com.apple.calculator").size(), 1u);

    EXPECT_TRUE(workspace.activate(402));
    EXPECT_EQ(workspace.frontmostApplication()->bundleID, "com.apple.Safari");
    EXPECT_FALSE(workspace.activate(990)); // background-only
    EXPECT_FALSE(QCoro::waitFor(opens(&workspace, "/Applications/None.app")));

    EXPECT_TRUE(workspace.openURL("https://example.com/"));
    model().put({"workspace", "open_url_fails"}, JSON(true));
    EXPECT_FALSE(workspace.openURL("https://example.com/"));
    EXPECT_EQ(eventsOfKind("open_url").size(), 2u);
}

TEST_F(SimFixture, LockKeystrokeLocksAndFnCOpensControlCenter) {
    MacInputEvents& input = macPorts().input;
    MacConsoleSession& console = macPorts().console;
    EXPECT_EQ(console.rootProperties()->consoleLocked->boolean(), false);

    // Command-Q alone is no lock.
    EXPECT_TRUE(input.postKeyToSession({12, MacInputEvents::commandFlag, std::nullopt}));
    EXPECT_EQ(console.rootProperties()->consoleLocked->boolean(), false);
    EXPECT_TRUE(input.postKeyToSession({12, 0x140000, std::nullopt}));
    const MacConsoleSession::RootProperties locked = *console.rootProperties();
    EXPECT_EQ(locked.consoleLocked->boolean(), true);
    EXPECT_EQ(locked.consoleUsers->array()->front().find("CGSSessionScreenIsLocked")->boolean(),
              true);
    model().unlockScreen();
    EXPECT_EQ(console.rootProperties()->consoleLocked->boolean(), false);

    MacAccessibility& ax = macPorts().accessibility;
    const AXElement controlCenter = ax.applicationElement(215);
    EXPECT_TRUE(ax.attribute(controlCenter, "AXWindows")->array()->empty());
    EXPECT_TRUE(input.postKeyToSession({8, MacInputEvents::secondaryFunctionFlag, std::nullopt}));
    ASSERT_EQ(ax.attribute(controlCenter, "AXWindows")->array()->size(), 1u);

    const AXElement focus = named("cc.focus");
    const AXElement dnd = named("cc.dnd");
    EXPECT_FALSE(ax.attribute(dnd, "AXValue")); // not shown until the details open
    const std::vector<std::string> actions = *ax.actionNames(focus);
    EXPECT_EQ(ax.actionDescription(focus, actions[1]), "Show Details");
    EXPECT_TRUE(ax.performAction(focus, actions[1]));
    EXPECT_EQ(text(dnd, "AXIdentifier"), "focus-mode-activity-com.apple.donotdisturb.mode.default");
    EXPECT_EQ(integerValue(ax, dnd), 0);
    EXPECT_TRUE(ax.performAction(dnd, "AXPress"));
    EXPECT_EQ(integerValue(ax, dnd), 1);

    model().put({"input", "fails"}, JSON(true));
    EXPECT_FALSE(input.postKeyToSession({12, 0x140000, std::nullopt}));
    EXPECT_EQ(console.rootProperties()->consoleLocked->boolean(), false);
}

TEST_F(SimFixture, TypingReplacesOrExtendsTheFocusedField) {
    MacInputEvents& input = macPorts().input;
    MacAccessibility& ax = macPorts().accessibility;
    const AXElement body = named("textedit.body");
    EXPECT_EQ(ax.attribute(ax.applicationElement(845), "AXFocusedUIElement"), PlatformValue(body));

    const std::uint64_t command = MacInputEvents::commandFlag;
    struct Key {
        MacInputEvents::KeyStroke stroke;
        std::string value; // of the field afterwards
    };
    const std::vector<Key> keys = {
        {{0, 0, ", eggs"}, "Shopping list, eggs"},
        {{0, command, std::nullopt}, "Shopping list, eggs"}, // Command-A selects everything
        {{0, 0, "Grüße 👋"}, "Grüße 👋"},                      // which typing replaces
        {{51, 0, std::nullopt}, "Grüße "},                   // one character, not half of one
        {{0, command, std::nullopt}, "Grüße "},
        {{123, 0, std::nullopt}, "Grüße "}, // any other key drops the selection
        {{0, 0, "!"}, "Grüße !"},
        {{0, command, std::nullopt}, "Grüße !"},
        {{51, 0, std::nullopt}, ""}, // backspace on everything
    };
    for (const Key& key : keys) {
        EXPECT_TRUE(input.postKeyToProcess(key.stroke, 845));
        EXPECT_EQ(text(body, "AXValue"), key.value) << key.stroke.keyCode;
    }

    // Focus moves by setting AXFocused; a button takes no typed text.
    EXPECT_TRUE(ax.setAttribute(named("textedit.bold"), "AXFocused", PlatformValue(true)));
    input.postKeyToProcess({0, 0, std::string("x")}, 845);
    EXPECT_EQ(text(body, "AXValue"), "");
    EXPECT_FALSE(ax.setAttribute(named("textedit.bold"), "AXValue", PlatformValue("x")));
    EXPECT_TRUE(ax.setAttribute(body, "AXValue", PlatformValue("set directly")));
    EXPECT_EQ(text(body, "AXValue"), "set directly");
}

TEST_F(SimFixture, HitTestAndClicksFindTheTopmostControl) {
    MacAccessibility& ax = macPorts().accessibility;
    // Inside the Bold check box of the front TextEdit window.
    EXPECT_EQ(ax.elementAtPosition(330, 240), named("textedit.bold"));
    EXPECT_EQ(ax.elementAtPosition(500, 400), named("textedit.body"));
    EXPECT_FALSE(ax.elementAtPosition(5000, 5000));

    EXPECT_TRUE(macPorts().input.postClick(330, 240, MacInputEvents::MouseButton::Left, 1));
    EXPECT_EQ(integerValue(ax, named("textedit.bold")), 1);
    EXPECT_TRUE(macPorts().input.postScroll(500, 400, -120));
    ASSERT_EQ(eventsOfKind("scroll").size(), 1u);
    EXPECT_EQ(*eventsOfKind("scroll")[0].stringMember("name"), "textedit.body");
}

TEST_F(SimFixture, WithoutTrustNothingIsReadableAndTimeoutsAreRecorded) {
    MacAccessibility& ax = macPorts().accessibility;
    const AXElement app = ax.applicationElement(402);
    ax.setMessagingTimeout(app, std::chrono::milliseconds(200));
    EXPECT_EQ(model().with([&](SimParts& m) { return m.tree.messagingTimeout(app.token()); }),
              std::chrono::milliseconds(200));
    EXPECT_EQ(ax.pid(app), 402);

    model().put({"accessibility", "trusted"}, JSON(false));
    EXPECT_FALSE(ax.isTrusted());
    EXPECT_FALSE(ax.attribute(app, "AXWindows"));
    EXPECT_FALSE(ax.performAction(named("textedit.bold"), "AXPress"));
    model().put({"accessibility", "grant_on_request"}, JSON(true));
    ax.requestTrust();
    EXPECT_TRUE(ax.isTrusted());
}

TEST_F(SimFixture, AcceptedSleepAnnouncesWillSleepAfterReturning) {
    int willSleep = 0;
    QObject::connect(&platform().workspace, &Workspace::willSleep, &platform().workspace,
                     [&willSleep] { ++willSleep; });
    EXPECT_EQ(macPorts().power.requestSleep(), MacPower::SleepOutcome::Accepted);
    EXPECT_EQ(willSleep, 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(willSleep, 1);
    model().put({"power", "sleep"}, JSON("denied"));
    EXPECT_EQ(macPorts().power.requestSleep(), MacPower::SleepOutcome::Denied);
    QCoreApplication::processEvents();
    EXPECT_EQ(willSleep, 1);
}

std::vector<AXElement> tabsOf(SimFixture& fixture, MacAccessibility& ax) {
    return children(ax, fixture.named("chrome.tabs"));
}

// Opens a menu of the menu bar and returns the item with this title.
std::optional<AXElement> menuItem(SimFixture& fixture, AXElement menuBar, const std::string& menu,
                                  const std::string& item) {
    MacAccessibility& ax = fixture.macPorts().accessibility;
    for (AXElement top : children(ax, menuBar)) {
        if (fixture.text(top, "AXTitle") != menu) {
            continue;
        }
        EXPECT_TRUE(ax.performAction(top, "AXPress"));
        for (AXElement opened : children(ax, top)) {
            for (AXElement entry : children(ax, opened)) {
                if (fixture.text(entry, "AXTitle") == item) {
                    return entry;
                }
            }
        }
    }
    return std::nullopt;
}

TEST_F(SimFixture, ChromeTabStripFollowsNewTabAndTabMenus) {
    MacAccessibility& ax = macPorts().accessibility;
    const AXElement app = ax.applicationElement(510);
    const AXElement menuBar = *ax.attribute(app, "AXMenuBar")->element();
    const std::vector<AXElement> before = tabsOf(*this, ax);
    ASSERT_EQ(before.size(), 3u);

    EXPECT_TRUE(ax.performAction(named("chrome.newtab"), "AXPress"));
    const std::vector<AXElement> after = tabsOf(*this, ax);
    ASSERT_EQ(after.size(), 4u);
    const AXElement fresh = after.back();
    EXPECT_EQ(ax.attribute(fresh, "AXValue"), PlatformValue(true));
    EXPECT_EQ(ax.attribute(before.front(), "AXValue"), PlatformValue(false));

    // A closed menu's items are not there; pressing the menu title opens it.
    EXPECT_FALSE(ax.attribute(named("chrome.tab.closeothers"), "AXEnabled"));
    const std::optional<AXElement> closeOthers =
        menuItem(*this, menuBar, "Tab", "Close Other Tabs");
    ASSERT_TRUE(closeOthers);
    EXPECT_EQ(ax.attribute(*closeOthers, "AXEnabled"), PlatformValue(true));
    EXPECT_TRUE(ax.performAction(*closeOthers, "AXPress"));
    // The pinned dashboard stays.
    EXPECT_EQ(tabsOf(*this, ax), (std::vector<AXElement>{before.front(), fresh}));
    const std::optional<AXElement> again = menuItem(*this, menuBar, "Tab", "Close Other Tabs");
    EXPECT_EQ(ax.attribute(*again, "AXEnabled"), PlatformValue(false));
    const std::optional<PlatformValue> menu = ax.attribute(*again, "AXParent");
    EXPECT_TRUE(ax.performAction(*menu->element(), "AXCancel"));
    EXPECT_FALSE(ax.attribute(*again, "AXEnabled"));

    const std::optional<AXElement> closeTab = menuItem(*this, menuBar, "File", "Close Tab");
    ASSERT_TRUE(closeTab);
    EXPECT_TRUE(ax.performAction(*closeTab, "AXPress"));
    EXPECT_EQ(tabsOf(*this, ax), std::vector<AXElement>{before.front()});
    EXPECT_EQ(ax.attribute(before.front(), "AXValue"), PlatformValue(true));
}

TEST_F(SimFixture, ApplicationsCanMisbehaveAsScenariosSay) {
    mac->load(R"({"apps": [
        {"path": "Applications/Broken.app", "bundle": {"CFBundleIdentifier": "com.example.broken"},
         "launch": "fails"},
        {"path": "Applications/Shy.app", "bundle": {"CFBundleIdentifier": "com.example.shy"},
         "activation": "stays_behind", "running": [{"pid": 20}]},
        {"path": "Applications/Hung.app", "bundle": {"CFBundleIdentifier": "com.example.hung"},
         "running": [{"pid": 30}],
         "ui": {"responsive": false, "windows": [{"id": "hung.w", "role": "AXWindow",
                                                  "frame": [0, 0, 100, 100]}]}}],
        "frontmost": 30})");
    Workspace& workspace = platform().workspace;
    EXPECT_FALSE(
        QCoro::waitFor(opens(&workspace, root.path().toStdString() + "/Applications/Broken.app")));
    EXPECT_TRUE(model().pidsOf("com.example.broken").empty());

    EXPECT_TRUE(workspace.activate(20)); // accepted, yet it stays behind
    EXPECT_EQ(workspace.frontmostApplication()->pid, 30);

    MacAccessibility& ax = macPorts().accessibility;
    EXPECT_FALSE(ax.attribute(ax.applicationElement(30), "AXWindows"));
    EXPECT_FALSE(ax.performAction(named("hung.w"), "AXRaise"));
    EXPECT_FALSE(ax.elementAtPosition(50, 50));
}

} // namespace
} // namespace corvane
