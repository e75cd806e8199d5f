#pragma once

#include "core/Clock.h"
#include "core/JSON.h"
#include "sim/SimApplications.h"
#include "sim/SimEffects.h"
#include "sim/SimElementTree.h"
#include "sim/SimEventRecord.h"
#include "sim/SimInput.h"
#include "sim/SimProcessUI.h"
#include "sim/SimSettings.h"
#include "sim/SimTabStrips.h"
#include "sim/SimWindows.h"

#include <QString>

namespace corvane {

// Everything the simulated Mac holds: one piece per concern, each owning its state, wired
// together here. Only reachable through SimModel::with, under the model's lock; a new concern
// (windows, browser tabs...) is one more piece here.
class SimParts final : private SimProcessUI {
public:
    SimParts(QString root, Clock& clock);
    SimParts(const SimParts&) = delete;
    SimParts& operator=(const SimParts&) = delete;

    // Replaces the whole state by a checked scenario (SimScenario::normalise) and writes the
    // bundle folders. Throws SimScenarioError, leaving the old state, when one cannot be written.
    void load(const JSON& scenario);
    // A summary for the control channel's "state": the settings, the running instances with
    // their windows, the front application and the attributes of every named element.
    JSON dump() const;

    SimEventRecord record;
    SimSettings settings;
    SimApplications apps;
    SimElementTree tree;
    SimTabStrips tabs;
    SimEffects effects;
    SimInput input;
    SimWindows windows;

private:
    void instanceStarted(std::int32_t pid, const JSON* ui) override;
    void instanceEnded(std::int32_t pid) override;
    void showQuitEffects(const JSON& effects) override;
};

} // namespace corvane
