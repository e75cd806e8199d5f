#pragma once

#include "agent/CredentialVault.h"

#include <string>

namespace corvane {

class Keychain;

// The Agent's credential store over a platform keychain: KeychainStore under the agent's service.
// Safe on the credential-load thread: KeychainStore serialises vault operations on the keychain.
class KeychainVault final : public CredentialVault {
public:
    KeychainVault(Keychain& keychain, std::string service);

    Credentials load(bool allowInteraction) override;
    std::optional<std::string> read(const std::string& account) override;
    void write(const std::string& value, const std::string& account) override;
    void remove(const std::string& account) override;
    std::string replaceLocalToken() override;

private:
    Keychain& keychain_;
    std::string service_;
};

} // namespace corvane
