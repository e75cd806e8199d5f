#pragma once

#include "platform/ScreenState.h"

#include <QObject>
#include <QString>
#include <qcoro/qcorotask.h>

#include <optional>

namespace corvane {

// The lock state of the user's session, its changes, and the request to lock it. Lives on the main
// thread. Reading the state is cheap and synchronous (a backend keeps it at hand or reads it
// in-process); locking is awaitable, since a backend may have to ask another process and wait
// for the session to confirm.
class SessionLock : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    ~SessionLock() override = default;

    // The state now; throws when the backend cannot read it at all.
    virtual ScreenState state() const = 0;

    enum class LockResult {
        Locked,       // the session reads locked
        NotConfirmed, // the request went out, the session never read locked
        Refused,      // the request could not be made
    };
    virtual QCoro::Task<LockResult> lockNow() = 0;
    // Whether locking goes through synthetic input (a keystroke), and so needs the accessibility
    // trust; a backend that asks the session manager does not.
    virtual bool lockNeedsAccessibility() const { return true; }

    // The session facts behind the verdict, for diagnostics only.
    struct Facts {
        bool graphicalSession = false;
        std::optional<bool> onConsole;
        std::optional<bool> loginDone;
        bool legacyLockToolPresent = false;
    };
    virtual Facts facts() const = 0;

Q_SIGNALS:
    // The state changed (once per change, with the new state). A backend that can only poll
    // does so itself, while something is connected here.
    void changed(corvane::ScreenState state);
    // A backend's own watch could not read the state; it tries again later.
    void readFailed(const QString& reason);
};

} // namespace corvane
