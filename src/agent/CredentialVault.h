#pragma once

#include <optional>
#include <string>

namespace corvane {

// Where the Agent's connection secrets live (the keychain). Every operation runs on the Agent's
// keychain thread, one at a time, and may block there (an unlock, a slow service). Failures are
// thrown (a ContractError, or an error of the store's own kind).
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
    // One account's secret ("bootstrap-token", "pending-device-token", "device-token"); absent
    // when it is not stored.
    virtual std::optional<std::string> read(const std::string& account) = 0;
    // Stores one account's secret in place of the old one.
    virtual void write(const std::string& value, const std::string& account) = 0;
    // Deletes one account ("device-token", "pending-device-token", "bootstrap-token"); an account
    // that does not exist is not an error.
    virtual void remove(const std::string& account) = 0;
    // Makes, stores and returns a new loopback API token in place of the old one.
    virtual std::string replaceLocalToken() = 0;
};

} // namespace corvane
