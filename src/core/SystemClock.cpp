#include "core/SystemClock.h"

#include <QTimer>
#include <qcoro/qcorotimer.h>

namespace corvane {

Clock::WallTime SystemClock::now() const {
    return std::chrono::system_clock::now();
}

Clock::MonotonicTime SystemClock::monotonicNow() const {
    return std::chrono::steady_clock::now();
}

QCoro::Task<void> SystemClock::sleep(std::chrono::milliseconds duration) {
    // A precise timer: coarse timers may fire up to 5 % early, which matters at boundaries.
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    timer.start(duration);
    co_await timer;
}

} // namespace corvane
