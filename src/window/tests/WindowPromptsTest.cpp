// The window's alert is shown and awaited: asking returns at once with the box open, and the
// answer arrives through the box's signal, never from a nested event loop.

#include "window/WindowPrompts.h"
#include "support/FakePlatform.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace corvane {
namespace {

using Answer = UserPrompts::Answer;

QCoro::Task<> keep(QCoro::Task<Answer> asked, std::shared_ptr<std::optional<Answer>> answer) {
    *answer = co_await std::move(asked);
}

TEST(WindowPromptsTest, AnAlertReturnsWithItsBoxOpenAndAnswersWhenClicked) {
    test::FakePrompts platform;
    WindowPrompts prompts(platform);
    for (const bool first : {true, false}) {
        SCOPED_TRACE(first ? "first" : "second");
        auto answer = std::make_shared<std::optional<Answer>>();
        keep(prompts.alert("Quit Notes?", "Unsaved work may ask first.", "Quit app", "Cancel"),
             answer);
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), QStringLiteral("Quit Notes?"));
        EXPECT_FALSE(answer->has_value());

        box->findChild<QPushButton*>(QString::fromLatin1(first ? WindowPrompts::firstButtonName
                                                               : WindowPrompts::secondButtonName))
            ->click();
        // The answer comes, and the box goes, once the event loop turns.
        const QPointer<QMessageBox> closed(box);
        for (int turn = 0; turn < 10 && (closed || !answer->has_value()); ++turn) {
            QCoreApplication::processEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        EXPECT_EQ(*answer, first ? Answer::First : Answer::Second);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        EXPECT_TRUE(closed.isNull());
    }
    EXPECT_TRUE(platform.shown.empty());
}

} // namespace
} // namespace corvane
