#include "velto/KeychainSnapshot.h"

namespace corvane {

KeychainSnapshot::KeychainSnapshot(const JSON& items) {
    const JSON::Array* list = items.array();
    if (list == nullptr) {
        return;
    }
    for (const JSON& item : *list) {
        const std::string* service = item.stringMember("service");
        const std::string* account = item.stringMember("account");
        const std::string* secret = item.stringMember("secret");
        if (service != nullptr && account != nullptr && secret != nullptr) {
            items_.insert_or_assign({*service, *account}, *secret);
        }
    }
}

Keychain::Status KeychainSnapshot::copy(const Query& query, std::string& secret) {
    const auto found = items_.find({query.service, query.account});
    if (found == items_.end()) {
        return Status::NotFound;
    }
    secret = found->second;
    return Status::Success;
}

Keychain::Status KeychainSnapshot::update(const Query&, const std::string&) {
    return Status::Other;
}

Keychain::Status KeychainSnapshot::add(const Query&, const std::string&) {
    return Status::Other;
}

Keychain::Status KeychainSnapshot::remove(const Query&) {
    return Status::Other;
}

} // namespace corvane
