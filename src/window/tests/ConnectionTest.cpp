#include "WindowFixture.h"
#include "mac/SessionLockOnMac.h"

#include "agent/RelaySocket.h"
#include "core/Detached.h"
#include "support/TestRelay.h"
#include "window/ConnectionPage.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>

namespace corvane::window_test {
namespace {

class QuietSocket final : public RelaySocket {
public:
    QCoro::Task<void> sendText(std::string) override { co_return; }
    void close(int) override {}
};

using Connection = WindowFixture;
constexpr int connectionPage = 3;

TEST(ConnectionTexts, AnUnknownLoginStatusStillGetsALine) {
    // A status the platform adds later still gets a line.
    using S = LoginItems::Status;
    EXPECT_EQ(ConnectionPage::loginText(static_cast<S>(42)),
              QStringLiteral("Check Velto in System Settings → General → Login Items."));
}

TEST_F(Connection, DesktopControlFollowsConsentTrustAndLock) {
    launchOn(connectionPage);
    const QString status = QStringLiteral("desktopStatus");
    EXPECT_EQ(text(status), QStringLiteral("Desktop control is off"));

    answerNextDialog(false);
    click(QStringLiteral("enableDesktop"));
    ASSERT_EQ(dialogs.size(), 1U);
    EXPECT_EQ(dialogs[0].title,
              QStringLiteral("Allow Lumo-connected callers to control this Mac?"));
    // Enter keeps control off.
    EXPECT_EQ(dialogs[0].defaultButton, QStringLiteral("Cancel"));
    EXPECT_FALSE(agent().desktopWide());
    EXPECT_FALSE(find(QStringLiteral("pauseDesktop"))->isEnabled());
    EXPECT_EQ(text(status), QStringLiteral("Desktop control is off"));

    answerNextDialog(true);
    click(QStringLiteral("enableDesktop"));
    EXPECT_TRUE(agent().desktopWide());
    EXPECT_EQ(text(status), QStringLiteral("Desktop control enabled"));
    // Nothing to enable while it is on.
    EXPECT_FALSE(find(QStringLiteral("enableDesktop"))->isVisibleTo(&window()));
    EXPECT_TRUE(find(QStringLiteral("pauseDesktop"))->isEnabled());

    model().put({"accessibility", "trusted"}, JSON(false));
    window().render();
    EXPECT_EQ(text(status), QStringLiteral("Desktop control needs Accessibility access"));

    model().put({"accessibility", "trusted"}, JSON(true));
    model().lockScreen();
    advance(SessionLockOnMac::pollInterval);
    EXPECT_EQ(text(status),
              QStringLiteral("Desktop control paused while this Mac is locked or inactive"));

    // The tray's pause item withdraws consent.
    app->trayMenu().actions().at(1)->trigger();
    settle();
    EXPECT_EQ(text(status), QStringLiteral("Desktop control is off"));
    EXPECT_TRUE(find(QStringLiteral("enableDesktop"))->isVisibleTo(&window()));
}

TEST_F(Connection, TheRelayIsSavedOnlyWhenDisconnectedAndValid) {
    launchOn(connectionPage);
    click(QStringLiteral("advanced"));
    EXPECT_TRUE(find(QStringLiteral("connectionSettings"))->isVisible());
    auto* field = find<QLineEdit>(QStringLiteral("relayField"));

    struct Row {
        const char* typed;
        const char* shown;
    };
    for (const Row& row :
         {Row{"http://relay.example.org", "Enter a valid HTTPS service address."},
          Row{"https://relay.example.org/v1", "Enter a valid HTTPS service address."},
          Row{"", "Enter a valid HTTPS service address."}}) {
        field->setText(QString::fromUtf8(row.typed));
        click(QStringLiteral("saveRelay"));
        EXPECT_EQ(window().feedbackLabel()->text(), QString::fromUtf8(row.shown)) << row.typed;
        EXPECT_FALSE(platform->defaults.stringValue("relay")) << row.typed;
    }

    field->setText(QStringLiteral("  https://relay.example.org/ "));
    click(QStringLiteral("saveRelay"));
    EXPECT_EQ(window().feedbackLabel()->text(),
              QStringLiteral("Service saved. You can connect now."));
    EXPECT_EQ(platform->defaults.stringValue("relay"),
              std::optional<std::string>("https://relay.example.org"));
    EXPECT_EQ(agent().relay(), "https://relay.example.org");

    // Connected: refused, the old address kept.
    agent().beginSession(std::make_shared<QuietSocket>());
    field->setText(QStringLiteral("https://other.example.org"));
    click(QStringLiteral("saveRelay"));
    EXPECT_EQ(window().feedbackLabel()->text(),
              QStringLiteral("Disconnect before changing the service address."));
    EXPECT_EQ(platform->defaults.stringValue("relay"),
              std::optional<std::string>("https://relay.example.org"));
}

TEST_F(Connection, ALoginItemAwaitingApprovalShowsAnEmptyCheckbox) {
    launchOn(connectionPage, [](JSON& scenario) {
        scenario.object()->insert_or_assign(
            "login_item", JSON::parse(R"({"status": "requires_approval", "on_register":
                "requires_approval", "refuse_changes": true})"));
    });
    EXPECT_EQ(text(QStringLiteral("loginStatus")),
              QStringLiteral("Allow Velto in System Settings → General → Login Items."));
    auto* toggle = find<QCheckBox>(QStringLiteral("startAtLogin"));
    EXPECT_FALSE(toggle->isChecked());

    // A refused change is explained, and the box shows the real state again.
    answerNextDialog(true);
    click(QStringLiteral("startAtLogin"));
    ASSERT_EQ(dialogs.size(), 1U);
    EXPECT_EQ(dialogs[0].title, QStringLiteral("Velto couldn’t change its startup setting."));
    EXPECT_FALSE(toggle->isChecked());
}

TEST_F(Connection, PromptAndPhoneLinkAreCopiedAndMailed) {
    relayOrigin = "https://relay.example.org";
    launchOn(connectionPage);
    click(QStringLiteral("copySetupPrompt"));
    const QString prompt = QGuiApplication::clipboard()->text();
    EXPECT_GT(prompt.size(), 1500);
    EXPECT_LT(prompt.size(), 2200);
    EXPECT_TRUE(prompt.contains(QStringLiteral("https://relay.example.org")));
    EXPECT_EQ(find<QPushButton>(QStringLiteral("copySetupPrompt"))->text(),
              QStringLiteral("Copied — paste into Lumo"));
    EXPECT_FALSE(events("pasteboard").empty());

    EXPECT_FALSE(find<QLabel>(QStringLiteral("phoneQR"))->pixmap().isNull());
    click(QStringLiteral("copyLink"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("https://relay.example.org"));

    auto* send = find<QPushButton>(QStringLiteral("sendLink"));
    ASSERT_NE(send->menu(), nullptr);
    send->menu()->actions().at(1)->trigger();
    settle();
    const auto opened = events("open_in_browser");
    ASSERT_FALSE(opened.empty());
    const std::string url = *opened.back().stringMember("url");
    EXPECT_TRUE(url.starts_with("mailto:?subject=Velto&body=Open%20Velto%20on%20your%20phone"))
        << url;
}

TEST_F(Connection, WithoutARelayThePhoneCardHasNothingToShare) {
    launchOn(connectionPage);
    EXPECT_TRUE(find<QLabel>(QStringLiteral("phoneQR"))->pixmap().isNull());
    EXPECT_FALSE(find(QStringLiteral("phoneQR"))->isVisibleTo(&window()));
    // No "scan" without a code to scan.
    EXPECT_FALSE(text(QStringLiteral("phoneHint")).contains(QStringLiteral("Scan")));
    EXPECT_FALSE(find(QStringLiteral("copyLink"))->isEnabled());
    EXPECT_EQ(text(QStringLiteral("connectionStatus")), QString::fromStdString(agent().status()));
    EXPECT_EQ(find<QPushButton>(QStringLiteral("connect"))->text(), QStringLiteral("Connect"));
    EXPECT_FALSE(find(QStringLiteral("pairingActions"))->isVisibleTo(&window()));
}

} // namespace
} // namespace corvane::window_test

namespace corvane::window_test {
namespace {

// A relay whose certificate nobody vouches for: the window says what failed and offers to trust
// it once the fingerprint is compared; the pin then serves the requests and the session, is kept
// on disk, and a different certificate later is asked about again instead of being used.
TEST_F(Connection, ARelayCertificateIsTrustedOnlyAsShownAndAskedAgainWhenItChanges) {
    test::TestRelay relay;
    relay.serve(test::TestRelay::Certificate::SelfSigned);
    relay.approveEverything("9b2e7c1a-4d3f-4e5a-8b6c-7d8e9f0a1b2c");
    relayOrigin = relay.origin();
    launchOn(connectionPage);
    startDetached(agent().startConnections(false), {});
    ASSERT_TRUE(settleUntil([&] { return agent().connectionReady(); }));
    const QString first = RelayTrust::fingerprint(
        test::TestRelay::certificate(test::TestRelay::Certificate::SelfSigned));

    answerNextDialog(false);
    click(QStringLiteral("connect"));
    ASSERT_TRUE(settleUntil([&] { return dialogs.size() == 1; }));
    EXPECT_EQ(dialogs[0].title, QStringLiteral("Trust this relay’s certificate?"));
    EXPECT_TRUE(dialogs[0].detail.contains(first)) << dialogs[0].detail.toStdString();
    EXPECT_EQ(dialogs[0].defaultButton, QStringLiteral("Cancel"));
    settle();
    // Declined: nothing kept, and the page says what failed with the same fingerprint.
    EXPECT_FALSE(std::filesystem::exists(pinFile()));
    EXPECT_TRUE(find(QStringLiteral("certificateProblem"))->isVisibleTo(&window()));
    EXPECT_TRUE(text(QStringLiteral("certificateText")).contains(QStringLiteral("self-signed")));
    EXPECT_TRUE(text(QStringLiteral("certificateText")).contains(first));
    EXPECT_TRUE(relay.sessions().empty());
    if (qEnvironmentVariableIsSet("CORVANE_SHOTS")) {
        window().grab().save(qEnvironmentVariable("CORVANE_SHOTS") +
                             QStringLiteral("/connection-certificate-refused.png"));
    }

    answerNextDialog(true);
    click(QStringLiteral("trustCertificate"));
    ASSERT_EQ(dialogs.size(), 2U);
    EXPECT_TRUE(dialogs[1].detail.contains(first));
    // Virtual time moves once, past the first poll's wait, after the code arrived: a real
    // request in flight would otherwise run out of its virtual time limit.
    bool polled = false;
    ASSERT_TRUE(settleUntil([&] {
        if (!polled && !agent().code().empty() && relay.paths().size() == 1) {
            polled = true;
            advance(std::chrono::seconds(5));
        }
        return agent().online();
    })) << agent().status();
    EXPECT_EQ(relay.sessions().size(), 1U);
    EXPECT_FALSE(find(QStringLiteral("certificateProblem"))->isVisibleTo(&window()));
    EXPECT_FALSE(find(QStringLiteral("connect"))->isVisibleTo(&window()));
    const QString origin = RelayTrust::originOf(QUrl(QString::fromStdString(relay.origin())));
    EXPECT_EQ(RelayTrust(pinFile(), {}).pinned(origin), std::optional(first));

    // The relay comes back with another certificate of its own.
    relay.serve(test::TestRelay::Certificate::OtherSelfSigned);
    answerNextDialog(false);
    relay.clear();
    ASSERT_TRUE(settleUntil([&] {
        // Only while waiting to reconnect.
        if (!agent().hasSocket()) {
            advance(std::chrono::milliseconds(500));
        }
        return dialogs.size() == 3;
    })) << agent().status()
        << " online " << agent().online() << " sessions " << relay.sessions().size() << " refusal "
        << (trust->lastRefusal() ? trust->lastRefusal()->reason.toStdString() : "none");
    EXPECT_EQ(dialogs[2].title, QStringLiteral("The relay’s certificate has changed"));
    EXPECT_TRUE(dialogs[2].detail.contains(RelayTrust::fingerprint(
        test::TestRelay::certificate(test::TestRelay::Certificate::OtherSelfSigned))));
    settle();
    EXPECT_TRUE(relay.sessions().empty());
    EXPECT_FALSE(agent().online());
    EXPECT_EQ(RelayTrust(pinFile(), {}).pinned(origin), std::optional(first));
    EXPECT_TRUE(text(QStringLiteral("certificateText"))
                    .contains(QStringLiteral("not the one you trusted")));
}

} // namespace
} // namespace corvane::window_test
