#include "actions/SystemActions.h"

#include "support/FakePlatform.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace corvane;
using namespace corvane::test;

namespace {

using Node = FakeAccessibility::Node;

class SystemActionsTest : public ::testing::Test {
protected:
    // Runs a task on the virtual clock in 10 ms steps for at most `budget`; its outcome as text.
    template <typename T>
    std::string run(QCoro::Task<T>&& task, std::chrono::milliseconds budget = 5s) {
        return runOn(fakes.clock, std::move(task), 10ms, budget);
    }

    FakePlatform fakes;
    Platform platform = fakes.platform();
};

} // namespace

TEST_F(SystemActionsTest, ScanWalksBreadthFirstWithinItsLimits) {
    FakeAccessibility& ax = fakes.accessibility;
    const Accessibility& meaning = platform.accessibility;
    const AXElement lone = ax.add();
    SystemActions::Scan scan = SystemActions::scan(meaning, fakes.clock, lone, 600);
    EXPECT_EQ(scan.nodes, std::vector<AXElement>{lone});
    EXPECT_TRUE(scan.complete);

    // root -> a, b; a -> a1, a2; b -> b1
    const AXElement root = ax.add(), a = ax.add(), b = ax.add(), a1 = ax.add(), a2 = ax.add(),
                    b1 = ax.add();
    ax.setChildren(root, {a, b});
    ax.setChildren(a, {a1, a2});
    ax.setChildren(b, {b1});
    scan = SystemActions::scan(meaning, fakes.clock, root, 6);
    EXPECT_EQ(scan.nodes, (std::vector<AXElement>{root, a, b, a1, a2, b1}));
    EXPECT_TRUE(scan.complete);
    scan = SystemActions::scan(meaning, fakes.clock, root, 5);
    EXPECT_EQ(scan.nodes, (std::vector<AXElement>{root, a, b, a1, a2}));
    EXPECT_FALSE(scan.complete);

    // A tree larger than the limit gives exactly the limit.
    std::vector<AXElement> many;
    for (int i = 0; i < 700; ++i) {
        many.push_back(ax.add());
    }
    ax.setChildren(lone, many);
    scan = SystemActions::scan(meaning, fakes.clock, lone, 600);
    EXPECT_EQ(scan.nodes.size(), 600u);
    EXPECT_FALSE(scan.complete);

    // A slow application: each read takes 500 ms, so the 2-second deadline ends the walk.
    ax.onRead = [this] {
        fakes.clock.advance(500ms);
    };
    scan = SystemActions::scan(meaning, fakes.clock, root, 600);
    EXPECT_EQ(scan.nodes, (std::vector<AXElement>{root, a, b, a1}));
    EXPECT_FALSE(scan.complete);
}

TEST_F(SystemActionsTest, ChildrenAndTextReadOnlyTheirOwnKind) {
    FakeAccessibility& ax = fakes.accessibility;
    const Accessibility& meaning = platform.accessibility;
    const AXElement child = ax.add();
    const AXElement mixed = ax.add(Node{{{"AXChildren", PlatformValue::Array{child, 3}}}});
    const AXElement wrong = ax.add(Node{{{"AXChildren", child}, {"AXTitle", 7}}});
    const AXElement titled = ax.add(Node{{{"AXTitle", "Save"}, {"AXValue", true}}});
    EXPECT_TRUE(SystemActions::children(meaning, mixed).empty());
    EXPECT_TRUE(SystemActions::children(meaning, wrong).empty());
    EXPECT_TRUE(SystemActions::children(meaning, AXElement(999)).empty());
    EXPECT_EQ(SystemActions::text(meaning, titled, AXAttribute::Title), "Save");
    EXPECT_EQ(SystemActions::text(meaning, titled, AXAttribute::Value), std::nullopt);
    EXPECT_EQ(SystemActions::text(meaning, wrong, AXAttribute::Title), std::nullopt);
    EXPECT_EQ(SystemActions::text(meaning, titled, AXAttribute::Description), std::nullopt);
}

// The session lock's answers as the action reports them (its keystroke and waits are the
// adapter's rows).
TEST_F(SystemActionsTest, LockReportsTheSessionLocksAnswer) {
    struct Row {
        const char* name;
        ScreenState afterKey;
        const char* expected;
    };
    const Row rows[] = {
        {"locked", ScreenState::Locked, R"({"already_locked":false})"},
        {"never locked", ScreenState::Inactive, "lock_not_confirmed"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fakes.console.set(ScreenState::Unlocked);
        fakes.input.sessionKeys.clear();
        fakes.input.onSessionKey = [&](const MacInputEvents::KeyStroke&) {
            fakes.console.set(row.afterKey);
        };
        EXPECT_EQ(run(SystemActions::lock(platform)), row.expected);
    }
}

TEST_F(SystemActionsTest, LockRefusesBeforePostingAnything) {
    struct Row {
        ScreenState state;
        bool trusted;
        bool canCreate;
        const char* expected;
    };
    const Row rows[] = {
        {ScreenState::Unlocked, false, true, "accessibility_permission_required"},
        {ScreenState::Unknown, true, true, "device_locked"},
        {ScreenState::Unlocked, true, false, "action_failed"},
    };
    for (const Row& row : rows) {
        fakes.console.set(row.state);
        fakes.accessibility.trusted = row.trusted;
        fakes.input.canCreate = row.canCreate;
        EXPECT_EQ(run(SystemActions::lock(platform)), row.expected);
        EXPECT_TRUE(fakes.input.sessionKeys.empty());
    }
}

TEST_F(SystemActionsTest, SleepNeedsAnUnlockedScreenButNoTrust) {
    using Outcome = PowerSources::SleepOutcome;
    struct Row {
        ScreenState state;
        Outcome outcome;
        const char* expected;
        int requests;
    };
    const Row rows[] = {
        {ScreenState::Unlocked, Outcome::Accepted, "{}", 1},
        {ScreenState::Unlocked, Outcome::Unavailable, "sleep_unavailable", 1},
        {ScreenState::Unlocked, Outcome::Denied, "sleep_request_denied", 1},
        {ScreenState::Unknown, Outcome::Accepted, "device_locked", 0},
        {ScreenState::Locked, Outcome::Accepted, "device_locked", 0},
    };
    fakes.accessibility.trusted = false;
    for (const Row& row : rows) {
        fakes.console.set(row.state);
        fakes.power.outcome = row.outcome;
        fakes.power.sleepRequests = 0;
        EXPECT_EQ(run(SystemActions::sleep(platform)), row.expected);
        EXPECT_EQ(fakes.power.sleepRequests, row.requests);
    }
}

namespace {

// How Control Center starts out.
struct Panel {
    enum Shown { Closed, Open, WithDetails } shown = WithDetails;
    PlatformValue value = 0;              // the control's AXValue
    const char* details = "Show Details"; // the details action's name; nullptr: none
    bool opensOnKey = true;               // Globe/Fn-C opens it
    bool revealOnDetails = true;          // the details action reveals the control
    bool pressWorks = true, pressSwitches = true;
    bool locksOnRead = false; // the screen locks while Control Center is read
};

// Control Center as the tests need it: a hidden window until Globe/Fn-C, a Focus module whose
// details action reveals the Do Not Disturb control, and a control that a press switches.
struct ControlCenter {
    static constexpr std::int32_t pid = 77;

    explicit ControlCenter(FakePlatform& fakes, Panel panel = {})
        : f(fakes)
        , ax(fakes.accessibility)
        , p(panel) {
        application = ax.add();
        window = ax.add(Node{{{"AXRole", "AXWindow"}}});
        module = ax.add(Node{{{"AXIdentifier", "controlcenter-focus-modes"}},
                             {{"AXPress", "press"}},
                             [this](const std::string& action) {
                                 if (action == "AXShowDetails") {
                                     ++detailsShown;
                                     if (p.revealOnDetails) {
                                         ax.setChildren(module, {impostor, control});
                                     }
                                 }
                                 return true;
                             }});
        if (p.details != nullptr) {
            ax.node(module).actions.emplace_back("AXShowDetails", p.details);
        }
        impostor = ax.add(Node{{{"AXIdentifier", "focus-mode-activity-com.example.work"},
                                {"AXDescription", "Do Not Disturb"},
                                {"AXValue", 0}},
                               {{"AXPress", "press"}}});
        control = ax.add(
            Node{{{"AXIdentifier", "focus-mode-activity-com.apple.donotdisturb.mode.default"},
                  {"AXDescription", "Do Not Disturb"},
                  {"AXValue", p.value}},
                 {{"AXPress", "press"}},
                 [this](const std::string&) {
                     ++presses;
                     if (!p.pressWorks) {
                         return false;
                     }
                     if (p.pressSwitches) {
                         setValue(value() == true ? 0 : 1);
                     }
                     return true;
                 }});
        ax.applications[pid] = application;
        ax.node(application)
            .attributes.insert_or_assign("AXWindows", PlatformValue(PlatformValue::Array{window}));
        f.workspace.running = {app(12, "com.example.notes"), app(pid, "com.apple.controlcenter")};
        f.input.onSessionKey = [this](const MacInputEvents::KeyStroke& key) {
            if (key.keyCode == 8 && key.flags == 0x800000 && p.opensOnKey) {
                show();
            }
        };
        if (p.shown != Panel::Closed) {
            show();
        }
        if (p.shown == Panel::WithDetails) {
            ax.setChildren(module, {impostor, control});
        }
        if (p.locksOnRead) {
            ax.onRead = [this] {
                f.console.set(ScreenState::Locked);
            };
        }
    }

    // The panel as it looks open: the Focus module, details hidden.
    void show() { ax.setChildren(window, {module}); }
    void setValue(PlatformValue value) {
        ax.node(control).attributes.insert_or_assign("AXValue", std::move(value));
    }
    std::optional<bool> value() const {
        const auto v = ax.attribute(control, "AXValue");
        if (v && v->integer()) {
            return *v->integer() != 0;
        }
        return v ? v->boolean() : std::nullopt;
    }
    int pressesOf(AXElement element) const {
        return static_cast<int>(std::count_if(ax.performed.begin(), ax.performed.end(),
                                              [&](const auto& p) { return p.first == element; }));
    }

    FakePlatform& f;
    FakeAccessibility& ax;
    Panel p;
    AXElement application, window, module, impostor, control;
    int detailsShown = 0;
    int presses = 0;
};

} // namespace

TEST_F(SystemActionsTest, FocusSwitchesDoNotDisturbAndReadsItBack) {
    struct Row {
        const char* name;
        Panel panel;
        bool enabled;
        const char* expected;
        int keys;    // Globe/Fn-C presses
        int details; // details actions
        int presses; // presses of the control
        std::optional<std::chrono::milliseconds> elapsed = {};
    };
    const Row rows[] = {
        {"already off", Panel{}, false, "{}", 0, 0, 0},
        {"already on, as a genuine boolean", Panel{.value = true}, true, "{}", 0, 0, 0},
        {"switched on", Panel{}, true, "{}", 0, 0, 1},
        {"found only after the details action", Panel{.shown = Panel::Open}, true, "{}", 0, 1, 1},
        {"opened with Globe/Fn-C first", Panel{.shown = Panel::Closed}, true, "{}", 1, 1, 1},
        {"details in capitals", Panel{.shown = Panel::Closed, .details = "SHOW DETAILS"}, true,
         "{}", 1, 1, 1},
        {"a module without details", Panel{.shown = Panel::Closed, .details = nullptr}, true,
         "focus_control_unavailable", 1, 0, 0},
        {"a press that fails", Panel{.pressWorks = false}, true, "native_control_unavailable", 0, 0,
         1},
        {"a press that changes nothing", Panel{.pressSwitches = false}, true,
         "focus_change_not_confirmed", 0, 0, 1},
        // 15 waits of 150 ms, 14 fresh searches after the first.
        {"a value that is no number", Panel{.value = "on", .revealOnDetails = false}, true,
         "focus_control_unavailable", 0, 15, 0, 2250ms},
        {"the control never appears", Panel{.shown = Panel::Open, .revealOnDetails = false}, true,
         "focus_control_unavailable", 0, 15, 0, 2250ms},
        // The screen locks after the first check, while Control Center is read.
        {"locked between search and press", Panel{.locksOnRead = true}, true, "device_locked", 0, 0,
         0},
        {"locked between search and details", Panel{.shown = Panel::Open, .locksOnRead = true},
         true, "device_locked", 0, 0, 0},
        {"Control Center that never opens", Panel{.shown = Panel::Closed, .opensOnKey = false},
         true, "focus_control_unavailable", 1, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePlatform fresh;
        Platform p = fresh.platform();
        ControlCenter cc(fresh, row.panel);
        const auto start = fresh.clock.monotonicNow();
        auto probe = watch(SystemActions::focus(p, row.enabled));
        for (int i = 0; i < 500 && !probe->done; ++i) {
            fresh.clock.advance(10ms);
        }
        EXPECT_EQ(probe->outcome, row.expected);
        EXPECT_EQ(static_cast<int>(fresh.input.sessionKeys.size()), row.keys);
        EXPECT_EQ(cc.detailsShown, row.details);
        EXPECT_EQ(cc.presses, row.presses);
        if (row.elapsed) {
            EXPECT_EQ(fresh.clock.monotonicNow() - start, *row.elapsed);
        }
        // The look-alike with another identifier is never touched.
        EXPECT_EQ(cc.pressesOf(cc.impostor), 0);
        ASSERT_FALSE(fresh.accessibility.timeouts.empty());
        EXPECT_EQ(fresh.accessibility.timeouts.front(),
                  std::make_pair(cc.application, std::chrono::milliseconds(200)));
    }
}

TEST_F(SystemActionsTest, FocusWaitsForTheValueToTurnForOneSecond) {
    // The value never turns: ten readings over 10 waits of 100 ms.
    ControlCenter cc(fakes, {.pressSwitches = false});
    const auto start = fakes.clock.monotonicNow();
    auto probe = watch(SystemActions::focus(platform, true));
    fakes.clock.advance(990ms);
    EXPECT_FALSE(probe->done);
    fakes.clock.advance(10ms);
    EXPECT_EQ(probe->outcome, "focus_change_not_confirmed");
    EXPECT_EQ(fakes.clock.monotonicNow() - start, 1s);
    // The value turns late but within the budget.
    cc.setValue(0);
    auto late = watch(SystemActions::focus(platform, true));
    fakes.clock.advance(500ms);
    cc.setValue(1);
    fakes.clock.advance(100ms);
    EXPECT_EQ(late->outcome, "{}");
}

TEST_F(SystemActionsTest, FocusRefusesBeforeTouchingControlCenter) {
    // Not running: nothing posted.
    fakes.workspace.running = {app(12, "com.example.notes")};
    EXPECT_EQ(run(SystemActions::focus(platform, true)), "focus_control_unavailable");
    EXPECT_TRUE(fakes.input.sessionKeys.empty());

    ControlCenter cc(fakes, {.shown = Panel::Closed});
    fakes.accessibility.trusted = false;
    EXPECT_EQ(run(SystemActions::focus(platform, true)), "accessibility_permission_required");
    fakes.accessibility.trusted = true;
    fakes.input.canCreate = false;
    EXPECT_EQ(run(SystemActions::focus(platform, true)), "focus_control_unavailable");
    EXPECT_TRUE(fakes.accessibility.performed.empty());
}
