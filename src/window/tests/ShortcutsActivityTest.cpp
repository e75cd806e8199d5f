#include "WindowFixture.h"

#include "core/Detached.h"

#include "window/ActivityLog.h"
#include "window/ActivityPage.h"
#include "window/ShortcutsPage.h"

#include <QFile>
#include <QLineEdit>

#include <filesystem>
#include <fstream>

namespace corvane::window_test {
namespace {

using Shortcuts = WindowFixture;

TEST_F(Shortcuts, AddRunAndRemove) {
    launchOn(1);
    auto* field = find<QLineEdit>(QStringLiteral("shortcut"));

    // A refused name stays in the field for correction.
    field->setText(QStringLiteral("Two\nlines"));
    click(QStringLiteral("addShortcut"));
    EXPECT_EQ(field->text(), QStringLiteral("Two\nlines"));
    EXPECT_TRUE(agent().shortcuts().empty());

    for (const char* name : {"Morning", "Evening"}) {
        field->setText(QString::fromUtf8(name));
        click(QStringLiteral("addShortcut"));
        EXPECT_TRUE(field->text().isEmpty());
    }
    EXPECT_EQ(agent().shortcuts(), (std::vector<std::string>{"Morning", "Evening"}));
    ASSERT_NE(window().findChild<QWidget*>(QStringLiteral("run:Evening")), nullptr);

    // Running always asks; cancelling sends nothing.
    answerNextDialog(false);
    click(QStringLiteral("run:Evening"));
    ASSERT_EQ(dialogs.size(), 1U);
    EXPECT_EQ(dialogs[0].title, QStringLiteral("Run “Evening”?"));
    EXPECT_EQ(dialogs[0].buttons,
              (QStringList{QStringLiteral("Run Shortcut"), QStringLiteral("Cancel")}));
    EXPECT_TRUE(record->changes().empty());
    answerNextDialog(true);
    click(QStringLiteral("run:Evening"));
    EXPECT_EQ(
        record->changes(),
        (Changes{{"run_shortcut", JSON(JSON::Object{{"name", JSON(std::string("Evening"))}})}}));

    // Removing never asks.
    click(QStringLiteral("remove:Morning"));
    EXPECT_EQ(dialogs.size(), 2U);
    EXPECT_EQ(agent().shortcuts(), (std::vector<std::string>{"Evening"}));
    EXPECT_EQ(window().findChild<QWidget*>(QStringLiteral("run:Morning")), nullptr);

    // A position outside the list does nothing.
    auto* page = qobject_cast<ShortcutsPage*>(window().page());
    page->removeShortcut(5);
    page->runShortcut(-1);
    settle();
    EXPECT_EQ(agent().shortcuts().size(), 1U);
    EXPECT_EQ(dialogs.size(), 2U);

    // The list is drawn again only when it changed.
    const int draws = page->listDraws();
    window().render();
    EXPECT_EQ(page->listDraws(), draws);
}

std::string line(const char* action, const std::string& outcome, int minute) {
    JSON record(
        JSON::Object{{"outcome", JSON(outcome)},
                     {"created_at", JSON("2026-01-01T10:" + std::string(minute < 10 ? "0" : "") +
                                         std::to_string(minute) + ":00.000Z")}});
    if (action != nullptr) {
        record.object()->emplace("action", JSON(std::string(action)));
    }
    return record.data();
}

TEST(ActivityLogTest, ShowsTheTwentyNewestFinalRecordsNewestFirst) {
    QTemporaryDir folder;
    const std::filesystem::path file =
        folder.filePath(QStringLiteral("commands.jsonl")).toStdString();
    {
        std::ofstream out(file);
        for (int i = 0; i < 30; ++i) {
            out << line("mute", "received", i) << '\n';
            out << line(i == 29 ? nullptr : "mute", i % 2 == 0 ? "succeeded" : "lock_screen_active",
                        i)
                << '\n';
            if (i == 15) {
                out << "{not json\n\n[1,2]\n";
            }
        }
    }
    const auto rows = ActivityLog::read(file);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 20U);
    EXPECT_EQ(rows->front().action, QStringLiteral("Unknown"));
    EXPECT_EQ((*rows)[1].action, QStringLiteral("Mute"));
    EXPECT_EQ((*rows)[1].outcome, QStringLiteral("Completed"));
    EXPECT_NE(rows->front().outcome, QStringLiteral("Completed"));
    // Newest first: minute 29 down to minute 10.
    EXPECT_NE(rows->front().time, rows->back().time);
    EXPECT_EQ(ActivityLog::row(line("mute", "received", 1)), std::nullopt);

    // Absent log: nothing yet; a log that is not a readable file: unreadable.
    EXPECT_EQ(ActivityLog::read(folder.filePath(QStringLiteral("none.jsonl")).toStdString()),
              std::optional(std::vector<ActivityLog::Row>{}));
    EXPECT_EQ(ActivityLog::read(folder.path().toStdString()), std::nullopt);
    const QString link = folder.filePath(QStringLiteral("link.jsonl"));
    ASSERT_TRUE(QFile::link(QString::fromStdString(file.string()), link));
    EXPECT_EQ(ActivityLog::read(link.toStdString()), std::nullopt);
}

// The page reads the log backwards a step at a time: records longer than a step, a last line
// without a line feed and a log shorter than the twenty rows all read whole.
TEST(ActivityLogTest, RecordsAcrossReadingStepsReadWhole) {
    QTemporaryDir folder;
    const std::filesystem::path file =
        folder.filePath(QStringLiteral("commands.jsonl")).toStdString();
    struct Row {
        std::size_t padding;
        int records;
        bool lastLineFeed;
    };
    for (const Row& row : {Row{0, 25, true}, Row{40000, 25, false}, Row{150000, 25, true},
                           Row{150000, 3, false}, Row{0, 1, false}}) {
        SCOPED_TRACE(testing::Message() << row.padding << " " << row.records);
        std::string text;
        for (int i = 0; i < row.records; ++i) {
            JSON record = JSON::parse(line(i % 2 == 0 ? "mute" : "unmute", "succeeded", i));
            record.object()->emplace("params", JSON(std::string(row.padding, 'x')));
            text += record.data() + (i + 1 < row.records || row.lastLineFeed ? "\n" : "");
        }
        std::ofstream(file, std::ios::trunc) << text;
        const auto rows = ActivityLog::read(file);
        ASSERT_TRUE(rows);
        ASSERT_EQ(rows->size(), std::min<std::size_t>(20, std::size_t(row.records)));
        for (std::size_t k = 0; k < rows->size(); ++k) {
            const int minute = row.records - 1 - int(k);
            EXPECT_EQ((*rows)[k].action,
                      minute % 2 == 0 ? QStringLiteral("Mute") : QStringLiteral("Unmute"))
                << k;
        }
    }
}

using Activity = WindowFixture;

QCoro::Task<> sendLocal(Agent* agent, JSON body) {
    co_await agent->localCommand(std::move(body));
}

TEST_F(Activity, NewCommandsAppearAndTheListRedrawsOnlyOnChange) {
    launchOn(2);
    auto* page = qobject_cast<ActivityPage*>(window().page());
    ASSERT_NE(page, nullptr);
    const auto before = page->findChildren<QWidget*>(QStringLiteral("activityRow")).size();

    agent().runLocalAction("mute", JSON(JSON::Object{}));
    settle();
    const auto rows = page->findChildren<QWidget*>(QStringLiteral("activityRow"));
    ASSERT_EQ(rows.size(), before + 1);
    EXPECT_EQ(rows[0]->findChild<QLabel*>(QStringLiteral("action"))->text(),
              QStringLiteral("Mute"));
    EXPECT_EQ(rows[0]->findChild<QLabel*>(QStringLiteral("outcome"))->text(),
              QStringLiteral("Completed"));

    const int draws = page->listDraws();
    click(QStringLiteral("refreshActivity"));
    window().render();
    settle();
    EXPECT_EQ(page->listDraws(), draws);
}

// A command from elsewhere (the loopback API) changes nothing the window shows but the log: the
// page follows the log itself.
TEST_F(Activity, FollowsACommandSentThroughTheLoopbackApi) {
    launchOn(2);
    auto* page = qobject_cast<ActivityPage*>(window().page());
    ASSERT_NE(page, nullptr);
    const auto shown = [&](const char* action) {
        return labelTexts(find(QStringLiteral("activityList"))).contains(QString::fromUtf8(action));
    };
    // The launch's own state reading is logged first.
    ASSERT_TRUE(settleUntil([&] { return shown("Check Mac status"); }));
    const int draws = page->listDraws();

    startDetached(sendLocal(&agent(), JSON(JSON::Object{{"action", JSON("mute")},
                                                        {"params", JSON(JSON::Object{})}})),
                  {});
    ASSERT_TRUE(settleUntil([&] { return shown("Mute"); }));
    // The log's write and rename come as one burst of changes: drawn once.
    EXPECT_EQ(page->listDraws(), draws + 1);
    if (qEnvironmentVariableIsSet("CORVANE_SHOTS")) {
        window().resize(980, 760);
        settle();
        window().grab().save(qEnvironmentVariable("CORVANE_SHOTS") +
                             QStringLiteral("/activity-after-command.png"));
    }
}

TEST_F(Activity, AnUnreadableLogSaysSoAndIsLeftAlone) {
    launch();
    const std::filesystem::path log = agent().directory() / "commands.jsonl";
    std::filesystem::remove(log);
    std::filesystem::create_directory(log);
    window().pickPage(2);
    settle();
    EXPECT_EQ(labelTexts(find(QStringLiteral("activityList"))),
              QStringList{QString::fromUtf8(ActivityLog::unreadableText)});
    EXPECT_TRUE(std::filesystem::is_directory(log));
}

} // namespace
} // namespace corvane::window_test
