#include "window/CardView.h"

#include <QPainter>
#include <QPainterPath>
#include <QPalette>

namespace corvane {

void CardView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 16, 16);
    painter.fillPath(path, palette().color(QPalette::Base));
    painter.setPen(QPen(palette().color(QPalette::Mid), 0.5));
    painter.drawPath(path);
}

} // namespace corvane
