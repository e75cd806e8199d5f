#pragma once

#include <optional>
#include <string>

namespace corvane {

// Where the Agent's connection secrets live (the keychain). load() runs on a worker thread and
// must be safe there; remove() runs on the main thread. Failures are thrown (a ContractError, or
// an error of the store's own kind).
class CredentialVault {
public:
    virtual ~CredentialVault() = default;

    struct Credentials {
        // The device token of a paired computer; absent while unpaired.
        std::optional<std::string> device;
        // The loopback API token (created on first use by the store).
        std::string local;
        // A bootstrap token is left from a pairing that did not finish.
        bool hasBootstrap = false;
    };

    // Reads (and where needed creates) the credentials; `allowInteraction` lets the system prompt
    // to unlock the store.
    virtual Credentials load(bool allowInteraction) = 0;
    // Deletes one account ("device-token", "pending-device-token", "bootstrap-token"); an account
    // that does not exist is not an error.
    virtual void remove(const std::string& account) = 0;
};

} // namespace corvane
