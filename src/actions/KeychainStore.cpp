#include "actions/KeychainStore.h"

#include "core/ContractError.h"
#include "core/JSON.h"

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <cerrno>
#include <cstddef>
#include <mutex>
#include <sys/random.h>
#include <utility>

namespace corvane {

namespace {

constexpr const char* vaultAccount = "credentials";

// The older single items, in the order the migration reads them.
constexpr std::array<const char*, 4> legacyAccounts{
    KeychainStore::deviceToken, KeychainStore::localAPIToken, KeychainStore::bootstrapToken,
    KeychainStore::pendingDeviceToken};

bool isUTF8(const std::string& bytes) {
    return QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())).isValidUtf8();
}

// An empty secret is no secret: an empty bearer token would guard nothing.
std::optional<std::string> nonEmpty(const KeychainStore::Vault& vault, const char* account) {
    const auto it = vault.find(account);
    if (it == vault.end() || it->second.empty()) {
        return std::nullopt;
    }
    return it->second;
}

KeychainStore::Vault decodeVault(const std::string& text) {
    JSON json;
    try {
        json = JSON::parse(text);
    } catch (const JSONReadError&) {
        throw ContractError("keychain_credentials_invalid");
    }
    const JSON::Object* object = json.object();
    if (object == nullptr) {
        throw ContractError("keychain_credentials_invalid");
    }
    KeychainStore::Vault vault;
    for (const auto& [account, value] : *object) {
        const std::string* secret = value.string();
        if (secret == nullptr) {
            throw ContractError("keychain_credentials_invalid");
        }
        vault.emplace(account, *secret);
    }
    return vault;
}

std::string encodeVault(const KeychainStore::Vault& vault) {
    JSON::Object object;
    for (const auto& [account, secret] : vault) {
        object.emplace(account, JSON(secret));
    }
    try {
        return JSON(std::move(object)).data();
    } catch (const JSONWriteError&) {
        // Only text that is not UTF-8 cannot be written, and write() refuses it up front.
        throw ContractError("keychain_write_failed");
    }
}

} // namespace

KeychainStore::KeychainStore(Keychain& keychain, std::string service, bool allowInteraction)
    : keychain_(keychain)
    , service_(std::move(service))
    , allowInteraction_(allowInteraction) {}

std::string KeychainStore::randomToken() {
    std::array<char, 32> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw ContractError("random_generation_failed");
        }
        filled += static_cast<std::size_t>(got);
    }
    const QByteArray text =
        QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()))
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    return text.toStdString();
}

std::string KeychainStore::vaultService(const std::string& service) {
    return service + ".credentials-v2";
}

ConnectionCredentials KeychainStore::prepareConnection(
    const std::function<std::optional<Vault>()>& load,
    const std::function<std::optional<std::string>(const std::string&)>& readLegacy,
    const std::function<void(const Vault&)>& save, const std::function<std::string()>& generate) {
    const std::optional<Vault> loaded = load();
    Vault vault;
    if (loaded) {
        vault = *loaded;
    } else {
        for (const char* account : legacyAccounts) {
            if (std::optional<std::string> value = readLegacy(account)) {
                vault[account] = std::move(*value);
            }
        }
    }
    if (!nonEmpty(vault, localAPIToken)) {
        vault[localAPIToken] = generate();
    }
    // Checked before saving, so that a vault without a usable local token is never stored.
    if (!nonEmpty(vault, localAPIToken)) {
        throw ContractError("keychain_credentials_invalid");
    }
    if (!loaded || vault != *loaded) {
        save(vault);
    }
    return ConnectionCredentials{nonEmpty(vault, deviceToken), vault.at(localAPIToken),
                                 nonEmpty(vault, bootstrapToken).has_value()};
}

ConnectionCredentials KeychainStore::connectionCredentials() {
    const std::lock_guard lock(keychain_.vaultMutex());
    return prepareConnection(
        [this] { return loadVault(); },
        [this](const std::string& account) { return legacyRead(service_, account); },
        [this](const Vault& vault) { saveVault(vault); }, &randomToken);
}

std::optional<std::string> KeychainStore::read(const std::string& account) {
    const std::lock_guard lock(keychain_.vaultMutex());
    if (const std::optional<Vault> vault = loadVault()) {
        const auto it = vault->find(account);
        if (it == vault->end()) {
            return std::nullopt;
        }
        return it->second;
    }
    return legacyRead(service_, account);
}

void KeychainStore::write(const std::string& value, const std::string& account) {
    if (!isUTF8(value) || !isUTF8(account)) {
        throw ContractError("keychain_write_failed");
    }
    const std::lock_guard lock(keychain_.vaultMutex());
    if (std::optional<Vault> vault = loadVault()) {
        const auto it = vault->find(account);
        if (it != vault->end() && it->second == value) {
            return;
        }
        (*vault)[account] = value;
        saveVault(*vault);
        return;
    }
    legacyWrite(value, service_, account);
}

void KeychainStore::remove(const std::string& account) {
    const std::lock_guard lock(keychain_.vaultMutex());
    if (std::optional<Vault> vault = loadVault()) {
        if (vault->erase(account) > 0) {
            saveVault(*vault);
        }
    }
    switch (keychain_.remove(query(service_, account))) {
    case Keychain::Status::Success:
    case Keychain::Status::NotFound:
        return;
    case Keychain::Status::InteractionNotAllowed:
    case Keychain::Status::Other:
        break;
    }
    throw ContractError("keychain_delete_failed");
}

Keychain::Query KeychainStore::query(const std::string& service, const std::string& account) const {
    return Keychain::Query{service, account, allowInteraction_};
}

std::optional<std::string> KeychainStore::legacyRead(const std::string& service,
                                                     const std::string& account) {
    std::string secret;
    switch (keychain_.copy(query(service, account), secret)) {
    case Keychain::Status::Success:
        if (!isUTF8(secret)) {
            break;
        }
        return secret;
    case Keychain::Status::NotFound:
        return std::nullopt;
    case Keychain::Status::InteractionNotAllowed:
    case Keychain::Status::Other:
        break;
    }
    throw ContractError("keychain_read_failed");
}

void KeychainStore::legacyWrite(const std::string& value, const std::string& service,
                                const std::string& account) {
    const Keychain::Query itemQuery = query(service, account);
    Keychain::Status status = keychain_.update(itemQuery, value);
    if (status == Keychain::Status::NotFound) {
        status = keychain_.add(itemQuery, value);
    }
    if (status != Keychain::Status::Success) {
        throw ContractError("keychain_write_failed");
    }
}

std::optional<KeychainStore::Vault> KeychainStore::loadVault() {
    const std::optional<std::string> text = legacyRead(vaultService(service_), vaultAccount);
    if (!text) {
        return std::nullopt;
    }
    return decodeVault(*text);
}

void KeychainStore::saveVault(const Vault& vault) {
    legacyWrite(encodeVault(vault), vaultService(service_), vaultAccount);
}

} // namespace corvane
