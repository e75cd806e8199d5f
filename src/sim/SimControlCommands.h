#pragma once

#include "core/JSON.h"

namespace corvane {

class SimModel;

// The control channel's commands, apart from any socket: one decoded JSON command in, one JSON
// answer out ({"ok": true, ...} or {"ok": false, "error": "..."}). A refused command changes
// nothing; whatever a command throws, its listeners included, is answered as a refusal. Each
// command takes the model's lock for itself (notifications are announced outside it). The
// protocol is documented in docs/SIMULATOR.md.
class SimControlCommands {
public:
    explicit SimControlCommands(SimModel& model)
        : model_(model) {}

    JSON handle(const JSON& command);
    // One line of text in, one line out (without the line feed).
    std::string handleLine(std::string_view line);

private:
    JSON dispatch(const std::string& name, const JSON& command);

    SimModel& model_;
};

} // namespace corvane
