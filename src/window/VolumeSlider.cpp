#include "window/VolumeSlider.h"

#include <QSignalBlocker>
#include <QWheelEvent>

namespace corvane {

VolumeSlider::VolumeSlider(QWidget* parent)
    : QSlider(Qt::Horizontal, parent) {
    setRange(0, 100);
    // Tab and click give focus; the wheel does not.
    setFocusPolicy(Qt::StrongFocus);
}

void VolumeSlider::wheelEvent(QWheelEvent* event) {
    if (!hasFocus()) {
        // Left to the page around it, which scrolls.
        event->ignore();
        return;
    }
    QSlider::wheelEvent(event);
}

void VolumeSlider::follow(int level) {
    if (isTrackingPointer()) {
        return;
    }
    const QSignalBlocker quiet(this);
    setValue(level);
}

} // namespace corvane
