#include "velto/KeychainVault.h"

#include "actions/KeychainStore.h"

namespace corvane {

KeychainVault::KeychainVault(Keychain& keychain, std::string service)
    : keychain_(keychain)
    , service_(std::move(service)) {}

CredentialVault::Credentials KeychainVault::load(bool allowInteraction) {
    ConnectionCredentials loaded =
        KeychainStore(keychain_, service_, allowInteraction).connectionCredentials();
    return Credentials{std::move(loaded.device), std::move(loaded.local), loaded.hasBootstrap};
}

std::optional<std::string> KeychainVault::read(const std::string& account) {
    return KeychainStore(keychain_, service_, false).read(account);
}

void KeychainVault::write(const std::string& value, const std::string& account) {
    KeychainStore(keychain_, service_, false).write(value, account);
}

void KeychainVault::remove(const std::string& account) {
    KeychainStore(keychain_, service_, false).remove(account);
}

std::string KeychainVault::replaceLocalToken() {
    std::string token = KeychainStore::randomToken();
    KeychainStore(keychain_, service_, false).write(token, KeychainStore::localAPIToken);
    return token;
}

} // namespace corvane
