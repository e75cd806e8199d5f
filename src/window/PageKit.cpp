#include "window/PageKit.h"

#include "window/MainWindow.h"
#include "window/Symbols.h"

#include <QFont>
#include <QLineEdit>
#include <QPalette>

#include <algorithm>

namespace corvane {

QLabel* PageKit::label(const QString& text, int points, bool semibold, bool secondary) {
    auto* out = new QLabel(text);
    QFont font = out->font();
    font.setPointSize(points);
    font.setWeight(semibold ? QFont::DemiBold : QFont::Normal);
    out->setFont(font);
    out->setWordWrap(true);
    out->setTextInteractionFlags(Qt::TextSelectableByMouse);
    if (secondary) {
        out->setForegroundRole(QPalette::PlaceholderText);
    }
    return out;
}

QLabel* PageKit::heading(const QString& text) {
    QLabel* out = label(text, 28, true);
    out->setObjectName(QStringLiteral("heading"));
    return out;
}

CardView* PageKit::card(const QString& title, const QString& subtitle, QWidget* accessory,
                        std::initializer_list<QWidget*> views) {
    auto* card = new CardView;
    auto* stack = new QVBoxLayout(card);
    stack->setContentsMargins(20, 19, 20, 19);
    stack->setSpacing(12);
    auto* top = new QHBoxLayout;
    top->addWidget(label(title, 16, true), 1);
    if (accessory != nullptr) {
        top->addWidget(accessory, 0, Qt::AlignRight);
    }
    stack->addLayout(top);
    if (!subtitle.isEmpty()) {
        stack->addWidget(label(subtitle, 13, false, true));
    }
    for (QWidget* view : views) {
        stack->addWidget(view);
    }
    return card;
}

QLineEdit* PageKit::field(const QString& placeholder, const QString& objectName) {
    auto* out = new QLineEdit;
    out->setPlaceholderText(placeholder);
    out->setObjectName(objectName);
    // Wide enough for its placeholder (a line edit's own hint is about 125 pixels, which cut
    // "Website · example.com" short), and it takes the spare room of its row.
    const int placeholderWidth = out->fontMetrics().horizontalAdvance(placeholder) + 32;
    out->setMinimumWidth(std::clamp(placeholderWidth, 200, 320));
    out->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return out;
}

QPushButton* PageKit::actionButton(const QString& title, std::string_view symbol,
                                   const QString& objectName) {
    auto* button = new QPushButton(title);
    if (!symbol.empty()) {
        button->setIcon(Symbols::icon(symbol));
    }
    button->setObjectName(objectName);
    return button;
}

QWidget* PageKit::row(std::initializer_list<QWidget*> views) {
    auto* holder = new QWidget;
    auto* layout = new QBoxLayout(QBoxLayout::LeftToRight, holder);
    layout->setContentsMargins(0, 0, 0, 0);
    bool field = false;
    for (QWidget* view : views) {
        const bool grows = qobject_cast<QLineEdit*>(view) != nullptr;
        field = field || grows;
        layout->addWidget(view, grows ? 1 : 0);
    }
    // A row with a field gives the field the spare width; others keep their controls together.
    if (!field) {
        layout->addStretch(1);
    }
    window_.addResponsiveRow(layout);
    return holder;
}

QPushButton* PageKit::control(const QString& title, std::string_view symbol,
                              const QString& objectName) {
    QPushButton* button = actionButton(title, symbol, objectName);
    window_.addControl(button);
    return button;
}

} // namespace corvane
