#pragma once

#include "mac/MacInputEvents.h"

namespace corvane {

class SimInput;
class SimModel;

// Posted events are recorded and take effect in the model: typed text lands in the focused field,
// Control-Command-Q locks the screen, Globe/Fn-C opens Control Center, clicks press what they hit.
// With "input.fails" set, event creation fails and nothing is posted.
class SimInputEvents final : public MacInputEvents {
public:
    explicit SimInputEvents(SimModel& model)
        : model_(model) {}

    bool postKeyToProcess(const KeyStroke& stroke, std::int32_t pid) override;
    bool postKeyToSession(const KeyStroke& stroke) override;
    bool postClick(double x, double y, MouseButton button, int clickCount) override;
    bool postScroll(double x, double y, std::int32_t pixels) override;

private:
    // Runs `event(SimInput&)` unless event creation fails; false then.
    template <typename Post>
    bool post(Post&& event);

    SimModel& model_;
};

} // namespace corvane
