#pragma once

#include <QSlider>

namespace corvane {

// The output-volume slider: a report moves it only while the pointer does not hold it.
class VolumeSlider : public QSlider {
    Q_OBJECT

public:
    explicit VolumeSlider(QWidget* parent = nullptr);

    bool isTrackingPointer() const { return isSliderDown(); }
    // Shows `level` unless the pointer holds the knob; emits nothing.
    void follow(int level);
};

} // namespace corvane
