#pragma once

#include "mac/MacScripting.h"

namespace corvane {

class SimModel;
class SimParts;

// Answers the few scripts the agent sends (volume settings, volume and mute changes, player
// commands, the now-playing question) from the model; any other text fails to run.
class SimScripting final : public MacScripting {
public:
    explicit SimScripting(SimModel& model)
        : model_(model) {}

    Result run(const std::string& source) override;
    Permission automationPermission(const std::string& bundleID) const override;

private:
    static Result answer(SimParts& mac, const std::string& source);

    SimModel& model_;
};

} // namespace corvane
