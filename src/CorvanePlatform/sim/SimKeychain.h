#pragma once

#include "CorvanePlatform/Keychain.h"

namespace corvane {

class SimModel;

// Generic-password items kept in the scenario's "keychain.items". Safe on any thread (the agent
// loads its credentials off the main thread). Secrets never enter the event record.
class SimKeychain final : public Keychain {
public:
    explicit SimKeychain(SimModel& model)
        : model_(model) {}

    Status copy(const Query& query, std::string& secret) override;
    Status update(const Query& query, const std::string& secret) override;
    Status add(const Query& query, const std::string& secret) override;
    Status remove(const Query& query) override;

private:
    // The status every operation starts with: Success when it may go on.
    Status admit(const char* operation, const Query& query);

    SimModel& model_;
};

} // namespace corvane
