#pragma once

#include "platform/ProcessRunner.h"
#include "platform/QtProcessRunner.h"

#include <QString>

namespace corvane {

class SimModel;

// Real processes (QtProcessRunner), output discarded. The Shortcuts tool "/usr/bin/shortcuts" is
// replaced by a shell script written under the sim's root before each start, whose exit status and
// run time per Shortcut name come from the scenario's "shortcuts"; every other path runs as given.
class SimProcessRunner final : public ProcessRunner {
public:
    explicit SimProcessRunner(SimModel& model)
        : model_(model) {}

    std::unique_ptr<Process> start(const std::string& path,
                                   const std::vector<std::string>& arguments) override;

    static constexpr const char* shortcutsTool = "/usr/bin/shortcuts";

    // Where the stand-in script lives.
    QString shortcutsScriptPath() const;
    // Writes the stand-in script for the current scenario (owner-only, executable); false when it
    // cannot be written. Any thread.
    bool writeShortcutsScript() const;

    // Ends every tool still running (QtProcessRunner::endAll).
    void endAll() { real_.endAll(); }

private:
    SimModel& model_;
    QtProcessRunner real_;
};

} // namespace corvane
