#pragma once

#include "platform/FocusModes.h"

#include <QDBusConnection>

#include <memory>

namespace corvane {

// Do Not Disturb on KDE Plasma: an inhibition of the notification server (Inhibit on
// org.freedesktop.Notifications over the session bus), read back through its Inhibited property.
// The server ties an inhibition to the connection that asked for it, so Do Not Disturb switched on
// here lasts while the agent runs. Switching it off releases only the agent's own inhibition; one
// that another program holds is refused. Every call is asynchronous and bounded by callTimeout.
// Main thread only.
class KdeFocusModes final : public FocusModes {
public:
    explicit KdeFocusModes(QDBusConnection bus);

    QCoro::Task<Outcome> setDoNotDisturb(bool enabled, std::function<void()> beforeChange) override;

    static constexpr int callTimeoutMs = 2000;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace corvane
