#pragma once

#include "platform/FocusModes.h"

namespace corvane {

// No Do Not Disturb control on this desktop yet.
class AbsentFocusModes final : public FocusModes {
public:
    QCoro::Task<Outcome> setDoNotDisturb(bool, std::function<void()>) override {
        co_return Outcome::Unavailable;
    }
};

} // namespace corvane
