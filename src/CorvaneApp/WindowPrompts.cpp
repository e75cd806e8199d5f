#include "CorvaneApp/WindowPrompts.h"

#include <QApplication>
#include <QClipboard>
#include <QMessageBox>
#include <QPushButton>

namespace corvane {

UserPrompts::Answer WindowPrompts::alert(const std::string& message,
                                         const std::string& informativeText,
                                         const std::string& firstButton,
                                         const std::string& secondButton) {
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(QStringLiteral("Velto"));
    box.setText(QString::fromStdString(message));
    box.setInformativeText(QString::fromStdString(informativeText));
    QPushButton* first =
        box.addButton(QString::fromStdString(firstButton), QMessageBox::AcceptRole);
    QPushButton* second =
        box.addButton(QString::fromStdString(secondButton), QMessageBox::RejectRole);
    first->setObjectName(QString::fromLatin1(firstButtonName));
    second->setObjectName(QString::fromLatin1(secondButtonName));
    box.setDefaultButton(first);
    box.setEscapeButton(second);
    box.exec();
    return box.clickedButton() == first ? Answer::First : Answer::Second;
}

void WindowPrompts::inform(const QString& message, const QString& informativeText) {
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(QStringLiteral("Velto"));
    box.setText(message);
    box.setInformativeText(informativeText);
    box.addButton(QMessageBox::Ok)->setObjectName(QString::fromLatin1(firstButtonName));
    box.exec();
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
