#pragma once

#include "core/Clock.h"
#include "core/JSON.h"
#include "platform/AXElement.h"
#include "platform/Accessibility.h"
#include "platform/RunningApplication.h"

#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace corvane {

class DesktopControl;
class DesktopTaskGuard;

// "desktop_observe": brings the application forward, waits until its window is really in front,
// walks the window's accessibility tree within fixed bounds and hands out the result under a new
// snapshot, after checking once more that nothing changed meanwhile. Password fields and
// everything inside them are never read; system dialogs are never observed.
class DesktopObservation {
public:
    // The walk's bounds: elements emitted, elements taken from the queue, children queued per
    // element, time, and the cuts of the texts it reports (in characters).
    static constexpr std::size_t maxElements = 60;
    static constexpr std::size_t maxTaken = 600;
    static constexpr std::size_t maxChildren = 160;
    static constexpr std::chrono::milliseconds walkDeadline{3000};
    static constexpr std::chrono::milliseconds elementTimeout{150};
    static constexpr std::size_t textCut = 160;
    static constexpr std::size_t maxActions = 12;
    static constexpr std::size_t actionCut = 80;
    // The encoded result must stay below this many bytes.
    static constexpr std::size_t maxResultBytes = 58000;
    // Finding the window: one deadline for the reads, attempts and confirmations 100 ms apart.
    static constexpr std::chrono::milliseconds windowSearchDeadline{2000};
    static constexpr int windowAttempts = 12;
    static constexpr int windowConfirmations = 12;
    static constexpr std::chrono::milliseconds attemptInterval{100};

    struct Walk {
        // The element objects, in walk order; each one's "element_id" is its position.
        JSON::Array elements;
        std::map<std::string, AXElement, std::less<>> nodes;
        // Elements were still queued when a bound stopped the walk.
        bool truncated = false;
        // Elements taken from the queue.
        std::size_t taken = 0;
    };

    // Breadth-first from the roots in order (the window, then the menu bar when asked for).
    static Walk walk(Accessibility& accessibility, const Clock& clock,
                     const std::vector<AXElement>& roots);

    // The whole observation on `control` (main thread).
    static QCoro::Task<JSON> run(DesktopControl* control, JSON params);

    // The result as it would be sent must stay below maxResultBytes, else the snapshot is dropped
    // and "desktop_observation_too_large" thrown.
    static void checkSize(DesktopControl& control, const JSON& result);

private:
    // Waits until the application is in front with a window to observe, raises that window and
    // waits until it is the focused one.
    static QCoro::Task<AXElement> prepareObservationWindow(DesktopControl* control,
                                                           const DesktopTaskGuard& guard,
                                                           RunningApplication app,
                                                           std::uint64_t capturedEpoch);
};

} // namespace corvane
