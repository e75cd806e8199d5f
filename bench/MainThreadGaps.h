#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

namespace corvane::bench {

// How long the main thread was held: the longest gap between ticks of a 1 ms precise timer on it
// since the last start().
class MainThreadGaps {
public:
    MainThreadGaps() {
        clock_.start();
        ticker_.setTimerType(Qt::PreciseTimer);
        ticker_.setInterval(1);
        QObject::connect(&ticker_, &QTimer::timeout, &ticker_, [this] {
            const qint64 now = clock_.nsecsElapsed();
            longest_ = std::max(longest_, now - lastTick_);
            lastTick_ = now;
        });
        ticker_.start();
    }

    // Lets the timer run undisturbed for 5 ms, so that the next gap belongs to the work measured,
    // then starts counting afresh.
    void start() {
        const qint64 settle = clock_.nsecsElapsed() + 5'000'000;
        while (clock_.nsecsElapsed() < settle) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        }
        lastTick_ = clock_.nsecsElapsed();
        longest_ = 0;
    }

    // The gap the work ends in closes with the next tick.
    void closeLastGap() {
        const qint64 ended = lastTick_;
        while (lastTick_ == ended) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
    }

    qint64 longestNs() const { return longest_; }
    qint64 nowNs() const { return clock_.nsecsElapsed(); }
    QObject* context() { return &ticker_; }

private:
    QElapsedTimer clock_;
    QTimer ticker_;
    qint64 lastTick_ = 0;
    qint64 longest_ = 0;
};

} // namespace corvane::bench
