#pragma once

#include "core/ContractError.h"

#include <memory>

namespace corvane {

// Held by an observation or action of desktop control for its whole run: raises the control's
// busy flag and lowers it at every exit, unless the control went away meanwhile; and tells the
// coroutine, after each suspension, whether the control is still there.
class DesktopTaskGuard {
public:
    DesktopTaskGuard(std::weak_ptr<int> life, bool& busy)
        : life_(std::move(life))
        , busy_(busy) {
        busy_ = true;
    }
    ~DesktopTaskGuard() {
        if (!life_.expired()) {
            busy_ = false;
        }
    }
    DesktopTaskGuard(const DesktopTaskGuard&) = delete;
    DesktopTaskGuard& operator=(const DesktopTaskGuard&) = delete;

    bool alive() const noexcept { return !life_.expired(); }

    // After a suspension: "session_changed" when the control is gone (its owner is shutting down).
    void resumed() const {
        if (life_.expired()) {
            throw ContractError("session_changed");
        }
    }

private:
    const std::weak_ptr<int> life_;
    bool& busy_;
};

} // namespace corvane
