#include "actions/SessionDiagnostics.h"

#include "support/FakePlatform.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

// The session facts come from the session lock (its rows are the adapter's); the verdict fields
// stay fixed.
TEST(SessionDiagnostics, CaptureTakesTheSessionFactsAndFixesTheVerdictFields) {
    test::FakePlatform mac;
    mac.console.session = PlatformValue::Dictionary{{"kCGSSessionOnConsoleKey", true},
                                                    {"kCGSessionLoginDoneKey", false}};
    mac.console.legacyTool = true;
    mac.accessibility.trusted = true;
    Platform platform = mac.platform();

    const SessionDiagnostics d = SessionDiagnostics::capture(platform);
    EXPECT_EQ(d.macOS, "Version 14.5 (Build 23F79)");
    EXPECT_TRUE(d.guiSessionAvailable);
    EXPECT_EQ(d.sessionOnConsole, true);
    EXPECT_EQ(d.sessionLoginDone, false);
    EXPECT_TRUE(d.legacyLockExecutablePresent);
    EXPECT_TRUE(d.accessibilityGranted);
    EXPECT_EQ(d.lockState, "unknown_unverified");
    EXPECT_FALSE(d.liveActionsEnabled);
}

TEST(SessionDiagnostics, AbsentFlagsAreLeftOut) {
    SessionDiagnostics d;
    EXPECT_EQ(d.toJSON().find("sessionOnConsole"), nullptr);
    d.sessionOnConsole = false;
    EXPECT_EQ(*d.toJSON().find("sessionOnConsole"), JSON(false));
    EXPECT_EQ(JSON::parse(d.encoded()), d.toJSON());
}

TEST(SessionDiagnostics, DecodesWhatItEncodesAndRefusesOtherShapes) {
    SessionDiagnostics d;
    d.macOS = "Version 15.0";
    d.guiSessionAvailable = true;
    d.sessionLoginDone = true;
    d.accessibilityGranted = true;
    EXPECT_EQ(SessionDiagnostics::decode(d.encoded()), d);

    const char* refused[] = {
        "[]",
        R"({"macOS":"v","guiSessionAvailable":1,"legacyLockExecutablePresent":false,"accessibilityGranted":false,"lockState":"x","liveActionsEnabled":false})",
        R"({"macOS":"v","guiSessionAvailable":true,"sessionOnConsole":"yes","legacyLockExecutablePresent":false,"accessibilityGranted":false,"lockState":"x","liveActionsEnabled":false})",
    };
    for (const char* text : refused) {
        EXPECT_THROW(SessionDiagnostics::decode(text), JSONReadError) << text;
    }
}

} // namespace
} // namespace corvane
