#include "actions/DesktopControl.h"

#include "support/FakePlatform.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace corvane;
using namespace corvane::test;

namespace {

const std::string consentKey(DesktopControl::consentKey);

// The outcome of a consent change: "ok", the ContractError's code or "storage failed".
template <typename F>
std::string storing(F&& f) {
    try {
        return outcomeOf(std::forward<F>(f));
    } catch (const UserDefaultsError&) {
        return "storage failed";
    }
}

// check()'s verdict: "ok <bundle id> <pid>" or the thrown code.
std::string verdict(DesktopControl& desktop, std::optional<std::string> bundleID) {
    try {
        const RunningApplication a = desktop.check(bundleID);
        return "ok " + a.bundleID.value_or("?") + " " + std::to_string(a.pid);
    } catch (const ContractError& e) {
        return e.code();
    }
}

class DesktopControlTest : public ::testing::Test {
protected:
    FakePlatform fakes;
    DesktopControl desktop{fakes.platform(), &fakes.defaults};

    std::string admit(std::optional<std::string> bundleID) { return verdict(desktop, bundleID); }
};

} // namespace

TEST(DesktopControlAdmission, ChecksRunInOrder) {
    struct Row {
        const char* name;
        std::optional<std::string> target = {};
        const char* expected;
        std::uint64_t epochAfter = 0;
        ScreenState screen = ScreenState::Unlocked;
        bool trusted = true;
        bool consent = true;
        bool running = true; // two editors, mail and the login window; none when false
        std::optional<std::string> grant = {};
        std::optional<RunningApplication> front = {};
    };
    const Row rows[] = {
        // Without consent or grant nothing else is looked at, not even the exclusions.
        {.name = "off",
         .target = "com.apple.loginwindow",
         .expected = "desktop_permission_required",
         .consent = false},
        {"consent, named", "com.example.editor", "ok com.example.editor 10"},
        {.name = "consent, frontmost",
         .expected = "ok com.example.mail 12",
         .front = app(12, "com.example.mail")},
        {"consent, nothing to resolve", std::nullopt, "desktop_app_not_running"},
        {.name = "frontmost without identifier, nothing stored",
         .expected = "desktop_app_not_running",
         .front = RunningApplication{}},
        // Exclusions hold with consent, before the lock state is read.
        {"excluded despite consent", "com.apple.loginwindow", "desktop_app_excluded", 0,
         ScreenState::Locked},
        {"this agent", CORVANE_BUNDLE_ID, "desktop_app_excluded"},
        {.name = "excluded frontmost",
         .expected = "desktop_app_excluded",
         .front = app(13, "com.apple.loginwindow")},
        {"exclusion is case-sensitive", "com.apple.LoginWindow", "desktop_app_not_running"},
        // The grant is checked before whether the application runs and before the lock.
        {.name = "granted, other app",
         .target = "com.example.mail",
         .expected = "desktop_app_not_allowed",
         .epochAfter = 1,
         .screen = ScreenState::Locked,
         .consent = false,
         .running = false,
         .grant = "com.example.editor"},
        {.name = "granted app",
         .target = "com.example.editor",
         .expected = "ok com.example.editor 10",
         .epochAfter = 1,
         .consent = false,
         .grant = "com.example.editor"},
        {"locked", "com.example.editor", "device_locked", 1, ScreenState::Locked},
        {"inactive", "com.example.editor", "device_locked", 1, ScreenState::Inactive},
        {"unknown, untrusted", "com.example.editor", "device_locked", 1, ScreenState::Unknown,
         false},
        {"untrusted, not running", "com.example.absent", "accessibility_permission_required", 0,
         ScreenState::Unlocked, false},
        {"not running", "com.example.absent", "desktop_app_not_running"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePlatform f;
        DesktopControl d(f.platform(), &f.defaults);
        f.defaults.setBool(consentKey, row.consent);
        if (row.running) {
            f.workspace.running = {app(10, "com.example.editor"), app(11, "com.example.editor"),
                                   app(12, "com.example.mail"), app(13, "com.apple.loginwindow")};
        }
        if (row.grant) {
            d.grantApp(*row.grant);
        }
        f.console.set(row.screen);
        f.accessibility.trusted = row.trusted;
        f.workspace.front = row.front;
        EXPECT_EQ(verdict(d, row.target), row.expected);
        EXPECT_EQ(d.epoch(), row.epochAfter);
    }
}

TEST_F(DesktopControlTest, TheAdmittedApplicationIsTheLastResort) {
    fakes.defaults.setBool(consentKey, true);
    fakes.workspace.running = {app(10, "com.example.editor")};
    // A target that passed the exclusion and grant steps is remembered even when a later step
    // refuses it.
    fakes.accessibility.trusted = false;
    EXPECT_EQ(admit("com.example.editor"), "accessibility_permission_required");
    EXPECT_EQ(desktop.bundleID(), "com.example.editor");
    fakes.accessibility.trusted = true;
    EXPECT_EQ(admit(std::nullopt), "ok com.example.editor 10");
    // The frontmost application comes before it.
    fakes.workspace.running.push_back(app(12, "com.example.mail"));
    fakes.workspace.front = app(12, "com.example.mail");
    EXPECT_EQ(admit(std::nullopt), "ok com.example.mail 12");
    EXPECT_EQ(desktop.bundleID(), "com.example.mail");
}

TEST_F(DesktopControlTest, GrantsAreBoundedSortedAndTimed) {
    fakes.defaults.setBool(consentKey, true);
    const std::vector<std::string> eleven{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k"};
    const std::vector<std::string> ten(eleven.begin(), eleven.end() - 1);
    for (const auto& refused :
         {std::vector<std::string>{}, eleven, {"a", "com.apple.Passwords"}, {CORVANE_BUNDLE_ID}}) {
        EXPECT_EQ(outcomeOf([&] { desktop.grant(refused); }), "desktop_app_excluded");
    }
    EXPECT_EQ(outcomeOf([&] { desktop.grantApp("com.apple.SecurityAgent"); }),
              "desktop_app_excluded");
    // Refusals change nothing.
    EXPECT_TRUE(desktop.desktopWide());
    EXPECT_EQ(desktop.epoch(), 0u);
    EXPECT_TRUE(desktop.approvedApps().empty());

    desktop.grant(ten);
    EXPECT_EQ(desktop.approvedApps(), ten);

    desktop.grant(std::vector<std::string>{"b", "a", "b"});
    EXPECT_EQ(desktop.approvedApps(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(desktop.bundleID(), "a");
    EXPECT_EQ(fakes.defaults.boolValue(consentKey), false);
    EXPECT_FALSE(desktop.desktopWide());
    EXPECT_EQ(desktop.epoch(), 2u);
    EXPECT_EQ(desktop.deadline(), fakes.clock.monotonicNow() + 900s);

    EXPECT_TRUE(desktop.active());
    fakes.clock.advance(899'999ms);
    EXPECT_TRUE(desktop.active());
    fakes.clock.advance(1ms);
    EXPECT_FALSE(desktop.active());
    EXPECT_EQ(admit("a"), "desktop_permission_required");
}

TEST_F(DesktopControlTest, EveryChangeOfConditionsMovesTheEpoch) {
    fakes.workspace.running = {app(10, "com.example.editor")};
    fakes.workspace.front = app(10, "com.example.editor");
    desktop.enableDesktop();
    EXPECT_TRUE(desktop.desktopWide());
    EXPECT_TRUE(desktop.active());
    EXPECT_EQ(desktop.epoch(), 1u);

    // An operation captures the epoch and its target; its checkpoints pass while nothing moves.
    const std::uint64_t captured = desktop.epoch();
    const RunningApplication target = desktop.check(std::nullopt);
    EXPECT_EQ(desktop.recheckTarget(captured, target).pid, 10);

    // A lock seen by any admission check fences off the operation for good, even once unlocked.
    fakes.console.set(ScreenState::Locked);
    EXPECT_EQ(admit("com.example.editor"), "device_locked");
    EXPECT_EQ(desktop.epoch(), 2u);
    fakes.console.set(ScreenState::Unlocked);
    EXPECT_EQ(outcomeOf([&] { desktop.recheckTarget(captured, target); }),
              "desktop_permission_required");

    desktop.suspend();
    EXPECT_EQ(desktop.epoch(), 3u);
    EXPECT_TRUE(desktop.desktopWide());

    desktop.stop();
    EXPECT_EQ(desktop.epoch(), 4u);
    EXPECT_EQ(fakes.defaults.boolValue(consentKey), false);
    EXPECT_FALSE(desktop.active());
    EXPECT_EQ(desktop.bundleID(), std::nullopt);
    EXPECT_EQ(admit("com.example.editor"), "desktop_permission_required");
}

TEST_F(DesktopControlTest, RecheckNoticesAFocusChange) {
    fakes.defaults.setBool(consentKey, true);
    fakes.workspace.running = {app(10, "com.example.editor"), app(12, "com.example.mail")};
    fakes.workspace.front = app(10, "com.example.editor");
    const RunningApplication target = desktop.check(std::nullopt);

    fakes.workspace.front = app(12, "com.example.mail");
    EXPECT_EQ(outcomeOf([&] { desktop.recheckTarget(0, target); }), "desktop_focus_changed");
    fakes.workspace.front.reset();
    EXPECT_EQ(outcomeOf([&] { desktop.recheckTarget(0, target); }), "desktop_focus_changed");
    // The admission check runs first: an application that quit is reported as such.
    fakes.workspace.running = {app(12, "com.example.mail")};
    EXPECT_EQ(outcomeOf([&] { desktop.recheckTarget(0, target); }), "desktop_app_not_running");
}

TEST_F(DesktopControlTest, WithoutAStoreThereIsNoConsent) {
    DesktopControl noStore(fakes.platform(), nullptr);
    fakes.defaults.setBool(consentKey, true);
    EXPECT_FALSE(noStore.desktopWide());
    EXPECT_FALSE(noStore.active());
    noStore.enableDesktop();
    EXPECT_FALSE(noStore.desktopWide());
    EXPECT_EQ(noStore.epoch(), 1u);
    noStore.stop();
    EXPECT_EQ(fakes.defaults.boolValue(consentKey), true);
    // A grant still works: it needs no store.
    noStore.grantApp("com.example.editor");
    EXPECT_TRUE(noStore.active());
}

TEST_F(DesktopControlTest, StopEndsControlInMemoryWhateverTheStoreSays) {
    fakes.workspace.running = {app(10, "com.example.editor"), app(12, "com.example.mail")};

    // Desktop-wide consent, and an admitted application.
    fakes.defaults.setBool(consentKey, true);
    ASSERT_EQ(outcomeOf([&] { desktop.check("com.example.editor"); }), "ok");
    fakes.defaults.refuseWrites = true;
    EXPECT_EQ(storing([&] { desktop.stop(); }), "storage failed");
    EXPECT_EQ(fakes.defaults.boolValue(consentKey), true);
    EXPECT_EQ(desktop.epoch(), 1u);
    EXPECT_FALSE(desktop.desktopWide());
    EXPECT_FALSE(desktop.active());
    EXPECT_EQ(desktop.bundleID(), std::nullopt);
    EXPECT_EQ(outcomeOf([&] { desktop.check("com.example.editor"); }),
              "desktop_permission_required");

    // A grant whose withdrawal cannot be stored ends as well.
    fakes.defaults.refuseWrites = false;
    desktop.grant({"com.example.mail", "com.example.editor"});
    ASSERT_TRUE(desktop.active());
    fakes.defaults.refuseWrites = true;
    EXPECT_EQ(storing([&] { desktop.stop(); }), "storage failed");
    EXPECT_FALSE(desktop.active());
    EXPECT_TRUE(desktop.approvedApps().empty());
    EXPECT_EQ(desktop.deadline(), Clock::MonotonicTime::min());

    // A grant starts with a stop: when that cannot be stored, nothing is granted.
    EXPECT_EQ(storing([&] { desktop.grantApp("com.example.mail"); }), "storage failed");
    EXPECT_FALSE(desktop.active());
    EXPECT_TRUE(desktop.approvedApps().empty());
}

TEST_F(DesktopControlTest, ConsentThatCannotBeStoredReadsAsOff) {
    struct Step {
        const char* name;
        bool refuse;
        void (DesktopControl::*change)();
        const char* outcome;
        std::optional<bool> stored;
        bool desktopWide;
    };
    const Step steps[] = {
        {"enable refused", true, &DesktopControl::enableDesktop, "storage failed", std::nullopt,
         false},
        {"enable", false, &DesktopControl::enableDesktop, "ok", true, true},
        // The store still holds the consent, but a failed change leaves it off in memory.
        {"enable again, refused", true, &DesktopControl::enableDesktop, "storage failed", true,
         false},
        {"stop refused", true, &DesktopControl::stop, "storage failed", true, false},
        {"enable once the disk is back", false, &DesktopControl::enableDesktop, "ok", true, true},
        {"stop refused again", true, &DesktopControl::stop, "storage failed", true, false},
        {"stop", false, &DesktopControl::stop, "ok", false, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        fakes.defaults.refuseWrites = step.refuse;
        const std::uint64_t epoch = desktop.epoch();
        EXPECT_EQ(storing([&] { (desktop.*step.change)(); }), step.outcome);
        EXPECT_EQ(fakes.defaults.boolValue(consentKey), step.stored);
        EXPECT_EQ(desktop.desktopWide(), step.desktopWide);
        EXPECT_EQ(desktop.epoch(), epoch + 1);
    }
}

TEST(DesktopControlBounds, DifferencesBelowThreePointsAreTheSameFrame) {
    const QRectF base(100, 200, 300, 400);
    struct Row {
        QRectF other;
        bool same;
    };
    const Row rows[] = {
        {base, true},
        {QRectF(102.9, 202.9, 302.9, 402.9), true},
        {QRectF(97.1, 197.1, 297.1, 397.1), true},
        {QRectF(103, 200, 300, 400), false},
        {QRectF(100, 197, 300, 400), false},
        {QRectF(100, 200, 303, 400), false},
        {QRectF(100, 200, 300, 397), false},
        // The same frame given from its opposite corner.
        {QRectF(400, 600, -300, -400), true},
        {QRectF(qQNaN(), 200, 300, 400), false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(DesktopControl::sameBounds(base, row.other), row.same)
            << row.other.x() << "," << row.other.y() << " " << row.other.width() << "x"
            << row.other.height();
    }
}
