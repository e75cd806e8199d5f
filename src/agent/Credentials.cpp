#include "agent/Credentials.h"

#include "actions/KeychainStore.h"

#include <functional>

namespace corvane {

// Every job captures the vault's shared pointer, never `this`: a job under way when the Agent goes
// finishes on its own copy.

Credentials::Credentials(std::shared_ptr<CredentialVault> vault)
    : vault_(std::move(vault)) {}

QCoro::Task<CredentialVault::Credentials> Credentials::load(bool allowInteraction) {
    std::function<CredentialVault::Credentials()> load = [vault = vault_, allowInteraction] {
        return vault->load(allowInteraction);
    };
    return keys_.run(std::move(load));
}

QCoro::Task<std::string> Credentials::replaceLocalToken() {
    std::function<std::string()> replace = [vault = vault_] {
        return vault->replaceLocalToken();
    };
    return keys_.run(std::move(replace));
}

QCoro::Task<std::optional<std::string>> Credentials::read(std::string account) {
    std::function<std::optional<std::string>()> read = [vault = vault_,
                                                        account = std::move(account)] {
        return vault->read(account);
    };
    return keys_.run(std::move(read));
}

QCoro::Task<> Credentials::remove(std::vector<std::string> accounts) {
    std::function<void()> remove = [vault = vault_, accounts = std::move(accounts)] {
        for (const std::string& account : accounts) {
            vault->remove(account);
        }
    };
    return keys_.run(std::move(remove));
}

QCoro::Task<std::string> Credentials::storeBootstrap(std::string bootstrap) {
    std::function<std::string()> store = [vault = vault_, bootstrap = std::move(bootstrap)] {
        vault->write(bootstrap, KeychainStore::bootstrapToken);
        std::string pendingToken = KeychainStore::randomToken();
        vault->write(pendingToken, KeychainStore::pendingDeviceToken);
        return pendingToken;
    };
    return keys_.run(std::move(store));
}

QCoro::Task<> Credentials::keepDeviceToken(std::string pendingToken) {
    std::function<void()> keep = [vault = vault_, pendingToken = std::move(pendingToken)] {
        vault->write(pendingToken, KeychainStore::deviceToken);
        vault->remove(KeychainStore::pendingDeviceToken);
        vault->remove(KeychainStore::bootstrapToken);
    };
    return keys_.run(std::move(keep));
}

QCoro::Task<> Credentials::wipe() {
    return remove({KeychainStore::deviceToken, KeychainStore::pendingDeviceToken,
                   KeychainStore::bootstrapToken});
}

} // namespace corvane
