#include "WindowFixture.h"
#include "mac/SessionLockOnMac.h"

#include "core/CommandFeedback.h"
#include "window/DeviceStateRows.h"
#include "window/ThisMacPage.h"

#include <QComboBox>
#include <QLineEdit>
#include <QSlider>
#include <QWheelEvent>

namespace corvane::window_test {
namespace {

using Texts = std::vector<std::pair<std::string, std::string>>;

Texts texts(const std::vector<DeviceStateRows::Row>& rows) {
    Texts out;
    for (const auto& [name, value] : rows) {
        out.emplace_back(name.toStdString(), value.toStdString());
    }
    return out;
}

TEST(DeviceStateRowsTest, FormatsEachRowAtItsBoundaries) {
    struct Row {
        double seconds;
        const char* shown;
    };
    for (const Row& row : std::initializer_list<Row>{{59, "0m"},
                                                     {3599, "59m"},
                                                     {3600, "1h 0m"},
                                                     {86399, "23h 59m"},
                                                     {86400, "1d 0h"},
                                                     {2 * 86400 + 7 * 3600 + 20 * 60, "2d 7h"},
                                                     {-30, "0m"}}) {
        EXPECT_EQ(DeviceStateRows::uptimeText(row.seconds), QString::fromUtf8(row.shown))
            << row.seconds;
    }

    const JSON full = JSON::parse(R"({"battery": {"percent": 87, "charging": true},
        "system": {"storage": {"available_bytes": 245300000000, "total_bytes": 494380000000},
                   "memory": {"used_bytes": 6200000000, "total_bytes": 16000000000},
                   "uptime_seconds": 7500, "thermal_state": "fair warning"},
        "frontmost_app": "Safari",
        "running_apps": ["A","B","C","D","E","F","G","H","I"],
        "audio": {"volume": 42.6, "muted": false}})");
    EXPECT_EQ(texts(DeviceStateRows::rows(full)),
              (Texts{{"Battery", "87% · Charging"},
                     {"Storage", "245.3 GB free of 494.4 GB"},
                     {"Memory", "About 6.2 GB of 16.0 GB in use"},
                     {"Uptime", "2h 5m"},
                     {"Thermal", "Fair Warning"},
                     {"Active app", "Safari"},
                     {"Open apps", "A, B, C, D, E, F, G, H…"}}));
    EXPECT_EQ(DeviceStateRows::volumeLine(full), QStringLiteral("Output volume: 43"));
    EXPECT_EQ(
        DeviceStateRows::volumeLine(JSON::parse(R"({"audio": {"volume": 0, "muted": true}})")),
        QStringLiteral("Output volume: 0 · Muted"));

    // Missing sources: "Unavailable", no uptime row, exactly eight apps without an ellipsis.
    const JSON sparse = JSON::parse(R"({"battery": null, "system": {"storage": {"total_bytes": 1},
        "uptime_seconds": "soon", "thermal_state": 3}, "frontmost_app": null,
        "running_apps": ["A","B","C","D","E","F","G","H"], "audio": null})");
    EXPECT_EQ(texts(DeviceStateRows::rows(sparse)),
              (Texts{{"Battery", "Unavailable"},
                     {"Storage", "Unavailable"},
                     {"Memory", "Unavailable"},
                     {"Thermal", "Unavailable"},
                     {"Active app", "None"},
                     {"Open apps", "A, B, C, D, E, F, G, H"}}));
    EXPECT_EQ(DeviceStateRows::volumeLine(sparse), QStringLiteral("Output volume unavailable"));
    EXPECT_EQ(
        DeviceStateRows::battery(JSON::parse(R"({"battery": {"percent": 5, "charging": 1}})")),
        QStringLiteral("5%"));
}

using ThisMac = WindowFixture;

TEST_F(ThisMac, ShowsTheSimulatedMacsReport) {
    launch();
    ASSERT_TRUE(agent().deviceState());
    EXPECT_EQ(text(QStringLiteral("stateHeadline")), QStringLiteral("Current state"));
    EXPECT_FALSE(text(QStringLiteral("row:Battery")).isEmpty());
    EXPECT_EQ(text(QStringLiteral("row:Active app")),
              DeviceStateRows::activeApp(*agent().deviceState()));
    EXPECT_TRUE(text(QStringLiteral("volumeValue")).startsWith(QStringLiteral("Output volume: ")));
    EXPECT_EQ(find<QPushButton>(QStringLiteral("refresh"))->text(), QStringLiteral("Refresh"));

    // The same report again draws nothing new.
    auto* page = qobject_cast<ThisMacPage*>(window().page());
    const int draws = page->rowDraws();
    click(QStringLiteral("refresh"));
    EXPECT_EQ(page->rowDraws(), draws);
}

// Locking hides the report and leaves the slider without a value to move; unlocking reads the
// state again by itself.
TEST_F(ThisMac, ALockedScreenHidesTheStateAndUnlockingReadsItAgain) {
    launch();
    auto* volume = find<QSlider>(QStringLiteral("volume"));
    EXPECT_TRUE(text(QStringLiteral("lockLine")).isEmpty());
    EXPECT_TRUE(volume->isEnabled());
    model().lockScreen();
    advance(SessionLockOnMac::pollInterval);
    EXPECT_EQ(text(QStringLiteral("lockLine")),
              QStringLiteral("Screen locked · information hidden"));
    EXPECT_EQ(text(QStringLiteral("volumeValue")), QStringLiteral("Output volume unavailable"));
    EXPECT_FALSE(volume->isEnabled());
    EXPECT_EQ(volume->value(), 0);

    const auto reads = record->actions.size();
    model().unlockScreen();
    advance(SessionLockOnMac::pollInterval);
    EXPECT_TRUE(text(QStringLiteral("lockLine")).isEmpty());
    ASSERT_EQ(record->actions.size(), reads + 1);
    EXPECT_EQ(record->actions.back().first, "get_state");
    EXPECT_EQ(text(QStringLiteral("stateHeadline")), QStringLiteral("Current state"));
    EXPECT_TRUE(volume->isEnabled());
    EXPECT_EQ(volume->value(), std::lround(*DeviceStateRows::volume(*agent().deviceState())));
}

TEST_F(ThisMac, TheManualAppFieldSendsABundleIdOrAName) {
    launch();
    ASSERT_TRUE(settleUntil([this] { return app->agent() && window().installedApps(); }));
    auto* picker = find<QComboBox>(QStringLiteral("appPicker"));
    ASSERT_FALSE(window().installedApps()->empty());
    ASSERT_EQ(picker->count(), static_cast<int>(window().installedApps()->size()) + 2);
    EXPECT_EQ(picker->itemText(0), QStringLiteral("Choose an app"));
    EXPECT_EQ(picker->itemData(picker->count() - 1).toString(), QStringLiteral("__manual"));

    click(QStringLiteral("openApp"));
    EXPECT_EQ(window().feedbackLabel()->text(), QStringLiteral("Choose an app first."));

    picker->setCurrentIndex(picker->count() - 1);
    auto* field = find<QLineEdit>(QStringLiteral("appName"));
    EXPECT_TRUE(field->isVisibleTo(&window()));
    click(QStringLiteral("openApp"));
    EXPECT_EQ(window().feedbackLabel()->text(), QStringLiteral("Enter an app name or bundle ID."));
    EXPECT_TRUE(record->changes().empty());

    struct Row {
        const char* typed;
        const char* key;
        const char* sent;
    };
    for (const Row& row :
         {Row{"com.apple.Safari", "bundle_id", "com.apple.Safari"},
          Row{"  Safari \n", "app_name", "Safari"}, Row{"com.", "app_name", "com."},
          Row{"a-b.c-d", "bundle_id", "a-b.c-d"}}) {
        record->actions.clear();
        field->setText(QString::fromUtf8(row.typed));
        click(QStringLiteral("openApp"));
        EXPECT_EQ(
            record->changes(),
            (Changes{{"open_app", JSON(JSON::Object{{row.key, JSON(std::string(row.sent))}})}}))
            << row.typed;
    }

    // An installed app: its bundle id, and the quit dialog names it.
    picker->setCurrentIndex(1);
    const QString name = picker->itemText(1);
    record->actions.clear();
    answerNextDialog(true);
    click(QStringLiteral("quitApp"));
    ASSERT_EQ(dialogs.size(), 1U);
    EXPECT_EQ(dialogs[0].title, QStringLiteral("Quit ") + name + u'?');
    EXPECT_EQ(dialogs[0].buttons,
              (QStringList{QStringLiteral("Quit app"), QStringLiteral("Cancel")}));
    EXPECT_EQ(record->changes(),
              (Changes{{"quit_app",
                        JSON(JSON::Object{
                            {"bundle_id", JSON(picker->itemData(1).toString().toStdString())}})}}));
}

TEST_F(ThisMac, ConfirmationsActOnTheFirstButtonOnly) {
    launch();
    answerNextDialog(false);
    click(QStringLiteral("lock"));
    ASSERT_EQ(dialogs.size(), 1U);
    EXPECT_EQ(dialogs[0].title, QStringLiteral("Lock this Mac?"));
    EXPECT_TRUE(record->changes().empty());

    answerNextDialog(true);
    click(QStringLiteral("lock"));
    EXPECT_EQ(record->changes(), (Changes{{"lock_screen", JSON(JSON::Object{})}}));

    find<QComboBox>(QStringLiteral("cleanupBrowser"))->setCurrentText(QStringLiteral("Chrome"));
    answerNextDialog(true);
    click(QStringLiteral("closeTabs"));
    ASSERT_EQ(dialogs.size(), 3U);
    EXPECT_EQ(dialogs[2].title, QStringLiteral("Close unpinned Chrome tabs?"));
    EXPECT_TRUE(dialogs[2].detail.startsWith(
        QStringLiteral("This closes unpinned tabs in open Chrome windows.")));
    ASSERT_EQ(record->changes().size(), 2U);
    EXPECT_EQ(
        record->changes()[1].second,
        JSON(JSON::Object{{"browser", JSON(std::string("chrome"))}, {"keep_pinned", JSON(true)}}));

    // Actions without a question go straight through.
    click(QStringLiteral("focusOff"));
    EXPECT_EQ(dialogs.size(), 3U);
    EXPECT_EQ(record->changes().back(),
              std::make_pair(std::string("toggle_do_not_disturb"),
                             JSON(JSON::Object{{"enabled", JSON(false)}})));
}

TEST_F(ThisMac, AReportNeverMovesTheKnobUnderThePointer) {
    launch();
    auto* slider = find<VolumeSlider>(QStringLiteral("volume"));
    const int reported = slider->value();
    slider->setSliderDown(true);
    slider->setValue(reported == 20 ? 30 : 20);
    const int held = slider->value();
    EXPECT_TRUE(record->changes().empty());

    window().refreshDisplayedState();
    settle();
    EXPECT_EQ(slider->value(), held);

    slider->setSliderDown(false);
    settle();
    EXPECT_EQ(
        record->changes(),
        (Changes{{"set_volume", JSON(JSON::Object{{"level", JSON(static_cast<double>(held))}})}}));
    // Once the change is done the state is read again, once.
    EXPECT_FALSE(window().volumeRefreshPending());
    EXPECT_EQ(record->actions.back().first, "get_state");
}

// Scrolling the page past the slider leaves the volume alone; once the slider has focus, the
// wheel moves it.
TEST_F(ThisMac, TheWheelMovesTheVolumeOnlyOnceTheSliderHasFocus) {
    launch();
    auto* slider = find<VolumeSlider>(QStringLiteral("volume"));
    const int reported = slider->value();
    const auto wheel = [slider] {
        const QPointF centre(slider->width() / 2.0, slider->height() / 2.0);
        QWheelEvent event(centre, slider->mapToGlobal(centre), QPoint(), QPoint(0, -120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(slider, &event);
        return event.isAccepted();
    };
    slider->clearFocus();
    EXPECT_FALSE(wheel());
    settle();
    EXPECT_EQ(slider->value(), reported);
    EXPECT_TRUE(record->changes().empty());

    QApplication::setActiveWindow(slider->window());
    slider->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(slider->hasFocus());
    EXPECT_TRUE(wheel());
    settle();
    ASSERT_FALSE(record->changes().empty());
    EXPECT_EQ(record->changes().front().first, "set_volume");
}

TEST_F(ThisMac, ControlsWaitForTheRunningActionAndSuccessTextsFade) {
    launch();
    record->clock = &clock;
    record->delay = std::chrono::seconds(2);
    click(QStringLiteral("mute"));
    EXPECT_TRUE(agent().actionRunning());
    for (const char* name : {"mute", "lock", "openApp", "volume", "closeTabs"}) {
        EXPECT_FALSE(find(QString::fromLatin1(name))->isEnabled()) << name;
    }
    advance(std::chrono::seconds(2));
    EXPECT_FALSE(agent().actionRunning());
    EXPECT_TRUE(find(QStringLiteral("mute"))->isEnabled());
    EXPECT_EQ(window().feedbackLabel()->text(), QStringLiteral("Audio muted"));

    advance(std::chrono::milliseconds(2900));
    EXPECT_FALSE(window().feedbackLabel()->text().isEmpty());
    const int contentHeight = find(QStringLiteral("content"))->height();
    advance(std::chrono::milliseconds(200));
    EXPECT_TRUE(window().feedbackLabel()->text().isEmpty());
    // The line keeps its room: the page above does not move as texts come and go.
    EXPECT_EQ(find(QStringLiteral("content"))->height(), contentHeight);

    // A failure (the executor refuses on a locked screen) stays.
    record->delay = {};
    record->passThrough = true;
    model().lockScreen();
    advance(SessionLockOnMac::pollInterval);
    answerNextDialog(true);
    click(QStringLiteral("sleep"));
    const QString failure = window().feedbackLabel()->text();
    EXPECT_FALSE(failure.isEmpty());
    EXPECT_FALSE(CommandFeedback::fades(failure.toStdString()));
    advance(std::chrono::seconds(10));
    EXPECT_EQ(window().feedbackLabel()->text(), failure);
}

} // namespace
} // namespace corvane::window_test
