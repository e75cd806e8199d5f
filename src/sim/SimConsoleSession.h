#pragma once

#include "mac/MacConsoleSession.h"

namespace corvane {

class SimModel;

// The console records, locked flag and session dictionary exactly as the scenario gives them.
class SimConsoleSession final : public MacConsoleSession {
public:
    explicit SimConsoleSession(SimModel& model)
        : model_(model) {}

    std::optional<RootProperties> rootProperties() const override;
    std::optional<PlatformValue> sessionDictionary() const override;
    std::uint32_t userID() const override;
    bool legacyLockToolPresent() const override;

private:
    SimModel& model_;
};

} // namespace corvane
