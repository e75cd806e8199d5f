#include "DesktopServices.h"
#include "DesktopTestSupport.h"

#include "actions/DesktopObservation.h"
#include "actions/DesktopWindows.h"
#include "core/SystemClock.h"
#include "linuxdesktop/AtspiAccessibility.h"

#include <gtest/gtest.h>

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
        accessibility = std::make_unique<AtspiAccessibility>();
        ASSERT_TRUE(waitUntil([&] { return accessibility->reachable(); }));
        form = std::make_unique<Service>(QStringLiteral(CORVANE_ATSPI_FORM_GTK), QStringList{},
                                         QStringList{});
        ASSERT_TRUE(waitUntil([&] { return window().isValid(); }));
    }

    AXElement window() {
        const AXElement application = accessibility->applicationElement(
            static_cast<std::int32_t>(form->process().processId()));
        const std::optional<PlatformValue> focused =
            accessibility->attribute(application, AXAttribute::FocusedWindow);
        return focused && focused->element() ? *focused->element() : AXElement();
    }

    std::unique_ptr<AtspiAccessibility> accessibility;
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

} // namespace
} // namespace corvane
