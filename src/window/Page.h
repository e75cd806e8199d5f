#pragma once

#include <QWidget>

namespace corvane {

// One page of the main window. A page is built whole when it is chosen and updated in place by
// render() whenever the Agent changes.
class Page : public QWidget {
    Q_OBJECT

public:
    using QWidget::QWidget;

    virtual void render() = 0;
};

} // namespace corvane
