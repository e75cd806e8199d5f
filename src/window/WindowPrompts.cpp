#include "window/WindowPrompts.h"

#include <QApplication>
#include <QClipboard>
#include <QMessageBox>
#include <QPushButton>
#include <qcoro/qcorosignal.h>

namespace corvane {

namespace {

// Application-modal and owned by the alert's coroutine alone: a window closing under it cannot
// delete it, so its answer always comes.
QMessageBox* alertBox(const std::string& message, const std::string& informativeText,
                      const std::string& firstButton, const std::string& secondButton) {
    auto* box = new QMessageBox();
    box->setWindowModality(Qt::ApplicationModal);
    box->setWindowTitle(QStringLiteral("Velto"));
    box->setText(QString::fromStdString(message));
    box->setInformativeText(QString::fromStdString(informativeText));
    QPushButton* first =
        box->addButton(QString::fromStdString(firstButton), QMessageBox::AcceptRole);
    QPushButton* second =
        box->addButton(QString::fromStdString(secondButton), QMessageBox::RejectRole);
    first->setObjectName(QString::fromLatin1(WindowPrompts::firstButtonName));
    second->setObjectName(QString::fromLatin1(WindowPrompts::secondButtonName));
    // Enter answers with the second button, the one that leaves things as they are ("Cancel",
    // "Don't allow"): granting control or running something takes a deliberate choice.
    box->setDefaultButton(second);
    box->setEscapeButton(second);
    return box;
}

UserPrompts::Answer answerOf(const QMessageBox& box) {
    const QAbstractButton* clicked = box.clickedButton();
    return clicked != nullptr &&
                   clicked->objectName() == QLatin1String(WindowPrompts::firstButtonName)
               ? UserPrompts::Answer::First
               : UserPrompts::Answer::Second;
}

} // namespace

QCoro::Task<UserPrompts::Answer> WindowPrompts::alert(std::string message,
                                                      std::string informativeText,
                                                      std::string firstButton,
                                                      std::string secondButton) {
    // Shown and awaited, never exec()'d: a nested event loop would run the agent's other work
    // inside the command that asked.
    QMessageBox* box = alertBox(message, informativeText, firstButton, secondButton);
    box->show();
    co_await qCoro(box, &QDialog::finished);
    const Answer answer = answerOf(*box);
    // The box may still be inside its own signal here: deleted once that returns.
    box->deleteLater();
    co_return answer;
}

void WindowPrompts::inform(const QString& message, const QString& informativeText) {
    auto* box = new QMessageBox();
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box->setWindowTitle(QStringLiteral("Velto"));
    box->setText(message);
    box->setInformativeText(informativeText);
    box->addButton(QMessageBox::Ok)->setObjectName(QString::fromLatin1(firstButtonName));
    box->show();
}

void WindowPrompts::setPasteboardText(const std::string& text) {
    copy(QString::fromStdString(text));
}

bool WindowPrompts::copy(const QString& text) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard == nullptr) {
        return false;
    }
    clipboard->setText(text);
    platform_.setPasteboardText(text.toStdString());
    return clipboard->text() == text;
}

bool WindowPrompts::openInBrowser(const std::string& url) {
    return platform_.openInBrowser(url);
}

} // namespace corvane
