#pragma once

#include "core/JSON.h"

#include <cstdint>

namespace corvane {

// The user-interface side of the running applications, as SimApplications sees it: an instance
// that starts gets its accessibility tree, one that ends loses it, and an application asked to
// quit shows what its scenario says (its "on_quit" effects, e.g. a save sheet).
class SimProcessUI {
public:
    // `ui` is the application's "ui" template, or null when it has none.
    virtual void instanceStarted(std::int32_t pid, const JSON* ui) = 0;
    virtual void instanceEnded(std::int32_t pid) = 0;
    virtual void showQuitEffects(const JSON& effects) = 0;

protected:
    ~SimProcessUI() = default;
};

} // namespace corvane
