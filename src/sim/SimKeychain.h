#pragma once

#include "core/JSON.h"
#include "platform/Keychain.h"

#include <QString>

#include <optional>

namespace corvane {

class SimModel;
class SimParts;

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

    // The items saved under `root`; absent when there is no file yet. Throws SimScenarioError
    // for a file that cannot be read or is not {"items": [{"service", "account", "secret"}]}.
    // Reads the file only, so it may run inside SimModel::with.
    static std::optional<JSON> savedItems(const QString& root);

private:
    // Runs `change(items)` on a copy of the items, under the model's lock, after admitting the
    // operation; a changed list is saved to the file, then to the model (Other, and no change,
    // when it cannot be saved).
    template <typename Change>
    Status operate(const char* operation, const Query& query, Change&& change);

    SimModel& model_;
};

} // namespace corvane
