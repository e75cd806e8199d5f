#pragma once

#include <qcoro/qcorotask.h>

#include <functional>

namespace corvane {

// The session's Focus modes; today Do Not Disturb. Awaitable: the switch goes through the system's
// own interface and waits for it to show the change (a backend over D-Bus awaits its replies).
// Main thread only.
class FocusModes {
public:
    virtual ~FocusModes() = default;

    enum class Outcome {
        // Do Not Disturb reads back as wanted (also when it already was).
        Confirmed,
        // The control could not be found or reached.
        Unavailable,
        // The control was found and refused the change.
        Refused,
        // The change was made but did not show in time.
        NotConfirmed,
    };

    // Switches Do Not Disturb on or off and reads it back. `beforeChange` runs right before each
    // control is pressed and may throw to stop there; its exception passes through.
    virtual QCoro::Task<Outcome> setDoNotDisturb(bool enabled,
                                                 std::function<void()> beforeChange) = 0;
};

} // namespace corvane
