#pragma once

#include <QFrame>

namespace corvane {

// The rounded panel that groups a page's controls.
class CardView : public QFrame {
    Q_OBJECT

public:
    using QFrame::QFrame;

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace corvane
