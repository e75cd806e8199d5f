#include "DesktopServices.h"
#include "DesktopTestSupport.h"

#include "actions/DesktopObservation.h"
#include "actions/DesktopWindows.h"
#include "core/SystemClock.h"
#include "linuxdesktop/AtspiAccessibility.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <csignal>

namespace corvane {
namespace {

using namespace desktop_services;

// The port itself against the tests' GTK form, in the desktop run-with-desktop.sh made.
class LinuxAtspiAccessibilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* variable : {"CORVANE_DISPLAY_UNAVAILABLE", "CORVANE_SETTINGS_UNAVAILABLE",
                                     "CORVANE_ACCESSIBILITY_UNAVAILABLE"}) {
            if (const std::string why = desktop_test::unavailable(variable); !why.empty()) {
                GTEST_SKIP() << why;
            }
        }
        if (qEnvironmentVariableIsEmpty("DISPLAY")) {
            GTEST_SKIP() << "no X display: run through run-with-desktop.sh";
        }
        desktop_test::ensureApplication();
        if (!accessibility) {
            accessibility = std::make_unique<AtspiAccessibility>();
        }
        ASSERT_TRUE(waitUntil([&] { return accessibility->reachable(); }));
        form = std::make_unique<Service>(QStringLiteral(CORVANE_ATSPI_FORM_GTK), QStringList{},
                                         QStringList{});
        ASSERT_TRUE(waitUntil([&] { return window().isValid(); }));
    }

    // The window of a form started anew with `arguments`.
    AXElement restartForm(const QStringList& arguments) {
        form = std::make_unique<Service>(QStringLiteral(CORVANE_ATSPI_FORM_GTK), arguments,
                                         QStringList{});
        AXElement front;
        waitUntil([&] {
            front = window();
            return front.isValid();
        });
        return front;
    }

    AXElement window() {
        const AXElement application = accessibility->applicationElement(
            static_cast<std::int32_t>(form->process().processId()));
        const std::optional<PlatformValue> focused =
            accessibility->attribute(application, AXAttribute::FocusedWindow);
        return focused && focused->element() ? *focused->element() : AXElement();
    }

    // One for the whole suite, as in the agent: libatspi cannot be started again in a process
    // once stopped.
    static void TearDownTestSuite() { accessibility.reset(); }

    inline static std::unique_ptr<AtspiAccessibility> accessibility;
    std::unique_ptr<Service> form;
};

TEST_F(LinuxAtspiAccessibilityTest, WalksTheFormWithoutReadingThePassword) {
    const AXElement front = window();
    EXPECT_EQ(DesktopWindows::text(*accessibility, front, AXAttribute::Title), "Velto Form GTK");
    EXPECT_EQ(accessibility->role(front), AXRole::Window);
    EXPECT_EQ(accessibility->subrole(front), AXSubrole::StandardWindow);
    SystemClock clock;
    DesktopObservation::Walk walked;
    const std::string outcome =
        desktop_test::finish([](AtspiAccessibility* ax, const Clock* clock, AXElement root,
                                DesktopObservation::Walk* out) -> QCoro::Task<JSON> {
            co_await ax->batch([=] { *out = DesktopObservation::walk(*ax, *clock, {root}); });
            co_return JSON("ok");
        }(accessibility.get(), &clock, front, &walked));
    EXPECT_EQ(outcome, "\"ok\"");
    std::string labels;
    for (const JSON& element : walked.elements) {
        labels += *element.stringMember("role") + ':' + *element.stringMember("label") + ';';
    }
    EXPECT_NE(labels.find("AXButton:Save;"), std::string::npos) << labels;
    EXPECT_NE(labels.find("AXScrollArea"), std::string::npos) << labels;
    EXPECT_EQ(labels.find("Password"), std::string::npos) << labels;
    // Asked directly, the password field (found by its role) gives no value.
    std::vector<AXElement> queue{front};
    std::optional<AXElement> password;
    for (std::size_t at = 0; at < queue.size() && at < 200 && !password; ++at) {
        if (accessibility->role(queue[at]) == AXRole::SecureTextField) {
            password = queue[at];
        }
        const std::optional<PlatformValue> children =
            accessibility->attribute(queue[at], AXAttribute::Children);
        for (const PlatformValue& child :
             children && children->array() ? *children->array() : PlatformValue::Array{}) {
            queue.push_back(*child.element());
        }
    }
    ASSERT_TRUE(password);
    EXPECT_EQ(accessibility->subrole(*password), AXSubrole::SecureTextField);
    EXPECT_EQ(accessibility->attribute(*password, AXAttribute::Value), std::nullopt);
    EXPECT_EQ(DesktopWindows::text(*accessibility, *password, AXAttribute::Title), "Password");
}

// What the walk of `root` through `accessibility` found, as one batch.
DesktopObservation::Walk walkOnce(Accessibility& accessibility, AXElement root) {
    SystemClock clock;
    DesktopObservation::Walk walked;
    desktop_test::finish([](Accessibility* ax, const Clock* clock, AXElement root,
                            DesktopObservation::Walk* out) -> QCoro::Task<JSON> {
        co_await ax->batch([=] { *out = DesktopObservation::walk(*ax, *clock, {root}); });
        co_return JSON("ok");
    }(&accessibility, &clock, root, &walked));
    return walked;
}

// The backend as a reader that asks for every child (the port's plain children read).
class EveryChild final : public Accessibility {
public:
    explicit EveryChild(Accessibility& inner)
        : inner_(inner) {}
    bool isTrusted() const override { return inner_.isTrusted(); }
    void requestTrust() override { inner_.requestTrust(); }
    AXElement applicationElement(std::int32_t pid) override {
        return inner_.applicationElement(pid);
    }
    void setMessagingTimeout(AXElement element, std::chrono::milliseconds timeout) override {
        inner_.setMessagingTimeout(element, timeout);
    }
    std::optional<AXRoleTerm> role(AXElement element) const override {
        return inner_.role(element);
    }
    std::optional<AXSubrole> subrole(AXElement element) const override {
        return inner_.subrole(element);
    }
    std::optional<PlatformValue> attribute(AXElement element, AXAttribute name) const override {
        return inner_.attribute(element, name);
    }
    std::optional<std::vector<AXActionTerm>> actions(AXElement element) const override {
        return inner_.actions(element);
    }
    std::optional<std::string> actionDescription(AXElement element,
                                                 const AXActionTerm& action) const override {
        return inner_.actionDescription(element, action);
    }
    std::optional<std::int32_t> pid(AXElement element) const override {
        return inner_.pid(element);
    }
    bool perform(AXElement element, const AXActionTerm& action) override {
        return inner_.perform(element, action);
    }
    bool setAttribute(AXElement element, AXAttribute name, const PlatformValue& value) override {
        return inner_.setAttribute(element, name, value);
    }
    std::optional<AXElement> elementAtPosition(double x, double y) const override {
        return inner_.elementAtPosition(x, y);
    }
    QCoro::Task<void> batch(std::function<void()> calls) override {
        return inner_.batch(std::move(calls));
    }

private:
    Accessibility& inner_;
};

TEST_F(LinuxAtspiAccessibilityTest, ABoundedWalkOfLongListsFindsWhatAFullOneFinds) {
    // A list shorter than the backend's own bound (read in one call when whole) and one past it.
    for (const char* rows : {"300", "1500"}) {
        const AXElement front = restartForm({QStringLiteral("--rows"), QString::fromLatin1(rows)});
        ASSERT_TRUE(front.isValid()) << rows;
        EveryChild everyChild(*accessibility);
        const DesktopObservation::Walk full = walkOnce(everyChild, front);
        const DesktopObservation::Walk bounded = walkOnce(*accessibility, front);
        EXPECT_EQ(JSON(bounded.elements).data(), JSON(full.elements).data()) << rows;
        EXPECT_EQ(bounded.taken, full.taken) << rows;
        EXPECT_EQ(bounded.truncated, full.truncated) << rows;
        EXPECT_EQ(bounded.elements.size(), DesktopObservation::maxElements) << rows;
    }
}

TEST_F(LinuxAtspiAccessibilityTest, EveryBatchReadsAfresh) {
    const AXElement front = window();
    const auto titleInBatch = [&] {
        std::string title;
        desktop_test::finish(
            [](AtspiAccessibility* ax, AXElement front, std::string* out) -> QCoro::Task<JSON> {
                co_await ax->batch([=] {
                    // Twice: the second read comes from what the batch keeps.
                    *out = DesktopWindows::text(*ax, front, AXAttribute::Title);
                    *out = DesktopWindows::text(*ax, front, AXAttribute::Title);
                });
                co_return JSON("ok");
            }(accessibility.get(), front, &title));
        return title;
    };
    ASSERT_EQ(titleInBatch(), "Velto Form GTK");
    ::kill(static_cast<pid_t>(form->process().processId()), SIGUSR1);
    EXPECT_TRUE(waitUntil([&] { return titleInBatch() == "Velto Form GTK (renamed 1)"; }));
    EXPECT_EQ(DesktopWindows::text(*accessibility, front, AXAttribute::Title),
              "Velto Form GTK (renamed 1)");
}

TEST_F(LinuxAtspiAccessibilityTest, AnApplicationThatDoesNotAnswerReadsAsAbsentWithinTheTimeOut) {
    const AXElement front = window();
    const auto pid = static_cast<pid_t>(form->process().processId());
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    QElapsedTimer elapsed;
    elapsed.start();
    bool absent = false;
    desktop_test::finish(
        [](AtspiAccessibility* ax, AXElement front, bool* out) -> QCoro::Task<JSON> {
            co_await ax->batch([=] {
                ax->setMessagingTimeout(front, std::chrono::milliseconds(100));
                const std::optional<PlatformValue> children = ax->children(front, 10);
                *out = !ax->role(front) && !ax->attribute(front, AXAttribute::Title) &&
                       !ax->attribute(front, AXAttribute::Position) && children &&
                       children->array() != nullptr && children->array()->empty();
            });
            co_return JSON("ok");
        }(accessibility.get(), front, &absent));
    const qint64 took = elapsed.elapsed();
    ::kill(pid, SIGCONT);
    EXPECT_TRUE(absent);
    // The reads were sent together, each bounded by the time-out.
    EXPECT_LT(took, 1500);
    EXPECT_TRUE(waitUntil([&] { return accessibility->role(front) == AXRole::Window; }));
}

} // namespace
} // namespace corvane
