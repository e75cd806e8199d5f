#include "WindowFixture.h"

#include "window/Symbols.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QtTest/qtestspontaneevent.h>

namespace corvane::window_test {
namespace {

using Shell = WindowFixture;

TEST_F(Shell, FirstLaunchShowsTheWindowAndLaterLaunchesStartInTheTray) {
    launch();
    EXPECT_TRUE(window().isVisible());
    EXPECT_EQ(platform->defaults.boolValue(AppDelegate::launchedKey), std::optional(true));
    EXPECT_EQ(window().page()->objectName(), QStringLiteral("thisMacPage"));

    relaunch();
    EXPECT_FALSE(window().isVisible());
    // The tray's first item brings it back.
    app->trayMenu().actions().at(0)->trigger();
    EXPECT_TRUE(window().isVisible());
}

TEST_F(Shell, LoginItemIsRegisteredOnceAndOnlyFromAnInstalledLocation) {
    struct Row {
        std::string path;
        bool registers;
    };
    const Row rows[] = {
        {"/Volumes/Velto/Velto.app", false},
        {"/private/var/folders/x/AppTranslocation/ABC/d/Velto.app", false},
        {"/tmp/.mount_VeltoXyz/usr/bin/velto", false},
        {"/home/robin/src/velto/build/release/velto", false},
        {"/Applications/Velto.app", true},
        {"/usr/local/bin/velto", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(StartupSettings::installedLocation(row.path), row.registers);
    }

    // From a disk image: nothing registered, the marker stays unset for the installed copy.
    launch({}, "/Volumes/Velto/velto");
    EXPECT_TRUE(events("login_item").empty());
    EXPECT_FALSE(platform->defaults.boolValue(std::string(StartupSettings::attemptedKey)));

    relaunch("/usr/bin/velto");
    ASSERT_EQ(events("login_item").size(), 1U);
    EXPECT_EQ(platform->loginItems.status(), LoginItems::Status::Enabled);
    EXPECT_EQ(platform->defaults.boolValue(std::string(StartupSettings::attemptedKey)),
              std::optional(true));

    // The person turns it off; the next launch leaves that choice alone.
    app->startup().setEnabled(false);
    relaunch("/usr/bin/velto");
    EXPECT_EQ(platform->loginItems.status(), LoginItems::Status::NotRegistered);
    EXPECT_EQ(events("login_item").size(), 2U);
}

TEST_F(Shell, AnAgentThatCannotBeBuiltLeavesTheFailureScreenAndAWorkingTray) {
    failAgent = true;
    launch();
    EXPECT_EQ(app->agent(), nullptr);
    auto* failure = window().findChild<QWidget*>(QStringLiteral("failure"));
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(labelTexts(failure),
              (QStringList{QStringLiteral("Velto couldn’t open its connection keys."),
                           QStringLiteral("Reopen Velto and approve its Keychain access "
                                          "when macOS asks. Your existing keys have not "
                                          "been deleted.")}));
    QStringList items;
    for (QAction* action : app->trayMenu().actions()) {
        items.append(action->text());
    }
    EXPECT_EQ(items, (QStringList{
                         QStringLiteral("Open Velto"), QStringLiteral("Pause desktop control"),
                         QStringLiteral("Visit velto.example.com"), QStringLiteral("Quit Velto")}));
    // Pausing without an Agent does nothing rather than crash.
    app->trayMenu().actions().at(1)->trigger();
    window().close();
    EXPECT_FALSE(window().isVisible());
}

TEST_F(Shell, ClosingHidesTheWindowAndSavesItsFrame) {
    launch();
    window().resize(1000, 700);
    settle();
    window().close();
    EXPECT_FALSE(window().isVisible());
    ASSERT_TRUE(platform->defaults.stringValue(MainWindow::geometryKey));

    relaunch();
    EXPECT_EQ(window().size(), QSize(1000, 700));
}

// Without a tray the window is the only way back: it shows at every launch, and closing it by
// hand asks whether to quit; the application quitting closes it without a question.
TEST_F(Shell, WithoutATrayTheWindowShowsAtEveryLaunchAndClosingAsksToQuit) {
    trayAvailable = false;
    launch();
    relaunch();
    EXPECT_TRUE(window().isVisible());

    answerNextDialog(false);
    QCloseEvent byPerson;
    QSpontaneKeyEvent::setSpontaneous(&byPerson);
    // Handed over directly: sending it through the application would clear its origin.
    static_cast<QObject&>(window()).event(&byPerson);
    settle();
    ASSERT_EQ(dialogs.size(), 1U);
    EXPECT_EQ(dialogs[0].title, QStringLiteral("Quit Velto?"));
    EXPECT_EQ(dialogs[0].defaultButton, QStringLiteral("Cancel"));
    EXPECT_TRUE(window().isVisible());

    answerNextDialog(false);
    for (QAction* action : window().actions()) {
        if (action->shortcut() == QKeySequence(QKeySequence::Close)) {
            action->trigger();
        }
    }
    settle();
    EXPECT_EQ(dialogs.size(), 2U);
    EXPECT_TRUE(window().isVisible());

    window().close();
    settle();
    EXPECT_FALSE(window().isVisible());
    EXPECT_EQ(dialogs.size(), 2U);
}

TEST_F(Shell, TheLayoutSwitchesOnceWhenTheWindowNarrowsPast720) {
    launch();
    window().resize(800, 600);
    settle();
    const int before = window().layoutSwitches();
    EXPECT_FALSE(window().compact());

    window().resize(700, 600);
    settle();
    EXPECT_TRUE(window().compact());
    EXPECT_EQ(window().layoutSwitches(), before + 1);
    EXPECT_FALSE(find(QStringLiteral("sidebar"))->isVisible());
    auto* picker = find<QComboBox>(QStringLiteral("pagePicker"));
    EXPECT_TRUE(picker->isVisible());

    // The page's rows stack vertically, on this page and on the next one built.
    auto direction = [this](const char* control) {
        auto* row =
            qobject_cast<QBoxLayout*>(find(QString::fromLatin1(control))->parentWidget()->layout());
        return row != nullptr ? row->direction() : QBoxLayout::Direction(-1);
    };
    EXPECT_EQ(direction("previous"), QBoxLayout::TopToBottom);
    window().pickPage(1);
    settle();
    EXPECT_EQ(direction("addShortcut"), QBoxLayout::TopToBottom);

    for (int width : {705, 710, 719, 700}) {
        window().resize(width, 600);
        settle();
    }
    EXPECT_EQ(window().layoutSwitches(), before + 1);

    // The boundary itself is wide.
    window().resize(720, 600);
    settle();
    EXPECT_FALSE(window().compact());
    EXPECT_EQ(window().layoutSwitches(), before + 2);
    EXPECT_EQ(direction("addShortcut"), QBoxLayout::LeftToRight);
}

TEST_F(Shell, NavigationRebuildsOnlyANewPageAndFadesUnlessMotionIsReduced) {
    reducedMotion = false;
    launch();
    Page* first = window().page();
    click(QStringLiteral("nav0"));
    EXPECT_EQ(window().page(), first);
    EXPECT_TRUE(find<QPushButton>(QStringLiteral("nav0"))->isChecked());

    click(QStringLiteral("nav1"));
    EXPECT_EQ(window().page()->objectName(), QStringLiteral("shortcutsPage"));
    auto* fade = qobject_cast<QGraphicsOpacityEffect*>(window().page()->graphicsEffect());
    ASSERT_NE(fade, nullptr);
    EXPECT_LT(fade->opacity(), 1.0);
    EXPECT_FALSE(find<QPushButton>(QStringLiteral("nav0"))->isChecked());

    reducedMotion = true;
    click(QStringLiteral("nav2"));
    EXPECT_EQ(window().page()->objectName(), QStringLiteral("activityPage"));
    EXPECT_EQ(window().page()->graphicsEffect(), nullptr);

    // The picker changes pages without a fade.
    reducedMotion = false;
    window().pickPage(3);
    settle();
    EXPECT_EQ(window().page()->objectName(), QStringLiteral("connectionPage"));
    EXPECT_EQ(window().page()->graphicsEffect(), nullptr);
    EXPECT_TRUE(find<QPushButton>(QStringLiteral("nav3"))->isChecked());
}

TEST_F(Shell, EverySymbolHasADrawingToFallBackOn) {
    for (const Symbols::Entry& entry : Symbols::table()) {
        SCOPED_TRACE(std::string(entry.symbol));
        EXPECT_FALSE(Symbols::icon(entry.symbol).isNull());
        EXPECT_TRUE(QFile::exists(Symbols::fallbackPath(entry.themeName)));
    }
    EXPECT_TRUE(Symbols::icon("no.such.symbol").isNull());
}

TEST_F(Shell, SavesAnImageOfEveryPageWideAndNarrow) {
    relayOrigin = "https://relay.example.org";
    launch();
    for (int width : {980, 640}) {
        window().resize(width, 760);
        for (int index = 0; index < 4; ++index) {
            window().pickPage(index);
            settle();
            saveSnapshot(QStringLiteral("page%1-%2").arg(index).arg(width));
            // Text fields show their whole placeholder ("Website · example.com").
            for (QLineEdit* field : window().page()->findChildren<QLineEdit*>()) {
                if (field->isVisibleTo(&window())) {
                    EXPECT_GE(field->width(),
                              field->fontMetrics().horizontalAdvance(field->placeholderText()))
                        << field->objectName().toStdString() << " at " << width;
                }
            }
        }
    }
    EXPECT_TRUE(QFile::exists(QStringLiteral(CORVANE_SNAPSHOT_DIR "/page3-640.png")));
    // Stacked, the status beside Connect shows every line, and the button keeps its own width.
    window().show();
    settle();
    QLabel* status = nullptr;
    for (QLabel* label : window().findChildren<QLabel*>(QStringLiteral("connectionStatus"))) {
        status = label->isVisible() ? label : status;
    }
    ASSERT_NE(status, nullptr);
    ASSERT_FALSE(status->text().isEmpty());
    EXPECT_GE(status->height(), status->heightForWidth(status->width())) << status->width();
    EXPECT_LE(status->geometry().bottom(), status->parentWidget()->rect().bottom())
        << status->parentWidget()->height();
    EXPECT_LT(status->parentWidget()->findChild<QWidget*>(QStringLiteral("connect"))->width(),
              status->width());
}

} // namespace
} // namespace corvane::window_test
