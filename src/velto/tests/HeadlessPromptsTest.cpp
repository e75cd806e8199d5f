#include "velto/HeadlessPrompts.h"
#include "support/FakePlatform.h"
#include "velto/KeychainSnapshot.h"

#include <gtest/gtest.h>
#include <qcoro/qcorotask.h>

namespace corvane {
namespace {

TEST(HeadlessPrompts, NobodyAnswersSoEveryAlertTakesItsSecondButton) {
    test::FakePrompts platform;
    std::vector<std::string> reported;
    HeadlessPrompts prompts(platform, [&](const std::string& line) { reported.push_back(line); });

    EXPECT_EQ(QCoro::waitFor(
                  prompts.alert("Allow Velto to control Music?", "details", "Continue", "Cancel")),
              UserPrompts::Answer::Second);
    EXPECT_TRUE(platform.shown.empty());
    EXPECT_EQ(reported, std::vector<std::string>{
                            "alert: \u201cAllow Velto to control Music?\u201d \u2192 Cancel"});

    // The rest is the platform's: a failing browser stays a failure.
    prompts.setPasteboardText("code");
    EXPECT_FALSE(prompts.openInBrowser("https://example.test"));
    EXPECT_EQ(platform.pasteboard, "code");
    EXPECT_EQ(platform.opened, std::vector<std::string>{"https://example.test"});
    // Nobody sees the browser: the address is printed (the pairing link with its code).
    EXPECT_EQ(reported.back(), "open in browser: https://example.test");
}

TEST(KeychainSnapshot, ReadsTheReportedItemsAndNeverChangesThem) {
    KeychainSnapshot keychain(JSON::parse(R"([
        {"service": "s", "account": "a", "secret": "one"},
        {"service": "s", "account": "b"},
        "junk",
        {"service": "t", "account": "a", "secret": "two"}])"));
    std::string secret;
    EXPECT_EQ(keychain.copy({"s", "a", false}, secret), Keychain::Status::Success);
    EXPECT_EQ(secret, "one");
    EXPECT_EQ(keychain.copy({"s", "b", false}, secret), Keychain::Status::NotFound);
    EXPECT_EQ(keychain.add({"s", "b", false}, "x"), Keychain::Status::Other);
    EXPECT_EQ(keychain.update({"s", "a", false}, "x"), Keychain::Status::Other);
    EXPECT_EQ(keychain.remove({"t", "a", false}), Keychain::Status::Other);
    EXPECT_EQ(keychain.copy({"t", "a", false}, secret), Keychain::Status::Success);
    EXPECT_EQ(secret, "two");
}

} // namespace
} // namespace corvane
