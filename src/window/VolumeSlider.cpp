#include "window/VolumeSlider.h"

#include <QSignalBlocker>

namespace corvane {

VolumeSlider::VolumeSlider(QWidget* parent)
    : QSlider(Qt::Horizontal, parent) {
    setRange(0, 100);
}

void VolumeSlider::follow(int level) {
    if (isTrackingPointer()) {
        return;
    }
    const QSignalBlocker quiet(this);
    setValue(level);
}

} // namespace corvane
