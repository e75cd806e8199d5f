#pragma once

#include <QSlider>

namespace corvane {

// The output-volume slider: a report moves it only while the pointer does not hold it, and the
// wheel moves it only once it has focus, so that scrolling the page past it leaves the computer's
// volume alone.
class VolumeSlider : public QSlider {
    Q_OBJECT

public:
    explicit VolumeSlider(QWidget* parent = nullptr);

    bool isTrackingPointer() const { return isSliderDown(); }
    // Shows `level` unless the pointer holds the knob; emits nothing.
    void follow(int level);

protected:
    void wheelEvent(QWheelEvent* event) override;
};

} // namespace corvane
