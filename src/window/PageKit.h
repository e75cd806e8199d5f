#pragma once

#include "window/CardView.h"

#include <QBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>

#include <initializer_list>
#include <string_view>

namespace corvane {

class MainWindow;

// The pages' building blocks: headings, cards, responsive rows, buttons with symbols, fields.
class PageKit {
public:
    explicit PageKit(MainWindow& window)
        : window_(window) {}

    static QLabel* label(const QString& text, int points, bool semibold = false,
                         bool secondary = false);
    static QLabel* heading(const QString& text);
    // A card: title, optional subtitle, optional accessory at the title's end, then `views`.
    static CardView* card(const QString& title, const QString& subtitle, QWidget* accessory,
                          std::initializer_list<QWidget*> views);
    static QLineEdit* field(const QString& placeholder, const QString& objectName);
    static QPushButton* actionButton(const QString& title, std::string_view symbol,
                                     const QString& objectName);

    // A horizontal row that turns vertical in the narrow layout.
    QWidget* row(std::initializer_list<QWidget*> views);
    // A button disabled while an action runs.
    QPushButton* control(const QString& title, std::string_view symbol, const QString& objectName);

private:
    MainWindow& window_;
};

} // namespace corvane
