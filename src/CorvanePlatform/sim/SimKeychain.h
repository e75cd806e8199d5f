#pragma once

#include "CorvaneCore/JSON.h"
#include "CorvanePlatform/Keychain.h"

#include <optional>

namespace corvane {

class SimModel;

// Generic-password items kept in the scenario's "keychain.items". Safe on any thread (the agent
// loads its credentials off the main thread). Secrets never enter the event record. Every change
// the agent makes is also written to "keychain.json" under the root (owner-only, replaced
// atomically), which outlives restarts and scenario reloads as a real keychain would.
class SimKeychain final : public Keychain {
public:
    explicit SimKeychain(SimModel& model)
        : model_(model) {}

    Status copy(const Query& query, std::string& secret) override;
    Status update(const Query& query, const std::string& secret) override;
    Status add(const Query& query, const std::string& secret) override;
    Status remove(const Query& query) override;

    // The items saved under the root; absent when there is no file yet. Throws SimScenarioError
    // for a file that cannot be read or is not {"items": [{"service", "account", "secret"}]}.
    std::optional<JSON> savedItems() const;

private:
    // Saves `items` to the file, then to the model; Other (and no change) when it cannot.
    Status store(JSON items);
    // The status every operation starts with: Success when it may go on.
    Status admit(const char* operation, const Query& query);

    SimModel& model_;
};

} // namespace corvane
