#pragma once

#include "platform/Keychain.h"

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace corvane {

// What the agent needs from the keychain to start: read-only, taken from the vault.
struct ConnectionCredentials {
    std::optional<std::string> device; // the device token; absent while the computer is unpaired
    std::string local;                 // bearer token of the loopback API, never empty
    bool hasBootstrap = false;         // a pairing was interrupted before it completed
};

// The agent's connection secrets, kept together in one keychain item (the vault: service +
// ".credentials-v2", account "credentials", a JSON object of strings), migrated once from the
// older layout of one item per secret (service, account name). Every operation holds the
// keychain's vault mutex from loading the vault to its end, so read-modify-write cycles of stores
// over the same keychain never interleave, whichever threads they run on.
//
// Whether a prompt may appear travels with every single access (Keychain::Query), so there is no
// process-wide interaction switch to set around the credential load.
//
// Errors are ContractErrors: "keychain_read_failed", "keychain_write_failed",
// "keychain_delete_failed", "keychain_credentials_invalid", "random_generation_failed".
class KeychainStore {
public:
    // A vault's content: account name -> secret.
    using Vault = std::map<std::string, std::string>;

    static constexpr const char* deviceToken = "device-token";
    static constexpr const char* localAPIToken = "local-api-token";
    static constexpr const char* bootstrapToken = "bootstrap-token";
    static constexpr const char* pendingDeviceToken = "pending-device-token";

    KeychainStore(Keychain& keychain, std::string service, bool allowInteraction);

    // 32 bytes from the system's secure random source in URL-safe Base64 without padding: 43
    // characters of A-Z, a-z, 0-9, "-" and "_".
    static std::string randomToken();

    // Loads the vault (creating it from the older items on first use), adds a local API token when
    // there is none, saves it when anything changed, and sums it up.
    ConnectionCredentials connectionCredentials();

    // One secret: from the vault when there is one, otherwise from its older item.
    std::optional<std::string> read(const std::string& account);
    // Stores one secret: in the vault when there is one, otherwise as its older item. A value that
    // is not UTF-8 text is refused ("keychain_write_failed") before anything is touched.
    void write(const std::string& value, const std::string& account);
    // Removes one secret from the vault and its older item; absent everywhere is fine.
    void remove(const std::string& account);

    // The migration and completion logic with its effects passed in: `load` the vault (absent when
    // there is none), `readLegacy` one older item, `save` the whole vault, `generate` a token.
    // Errors of the effects propagate; nothing is saved when the result would lack a usable local
    // API token.
    static ConnectionCredentials prepareConnection(
        const std::function<std::optional<Vault>()>& load,
        const std::function<std::optional<std::string>(const std::string&)>& readLegacy,
        const std::function<void(const Vault&)>& save,
        const std::function<std::string()>& generate);

    // The service of the vault item for a given service.
    static std::string vaultService(const std::string& service);

private:
    Keychain::Query query(const std::string& service, const std::string& account) const;
    std::optional<std::string> legacyRead(const std::string& service, const std::string& account);
    void legacyWrite(const std::string& value, const std::string& service,
                     const std::string& account);
    std::optional<Vault> loadVault();
    void saveVault(const Vault& vault);

    Keychain& keychain_;
    std::string service_;
    bool allowInteraction_;
};

} // namespace corvane
