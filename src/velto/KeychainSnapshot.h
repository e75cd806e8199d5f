#pragma once

#include "core/JSON.h"
#include "platform/Keychain.h"

#include <map>
#include <string>
#include <utility>

namespace corvane {

// A read-only copy of another process's keychain items, as the simulated Mac reports them in its
// state ({"service", "account", "secret"} objects). Reading works as on the live keychain; every
// change is refused with Status::Other, so a reader can never fork the other process's secrets.
class KeychainSnapshot final : public Keychain {
public:
    // Items that are not objects of three strings are skipped.
    explicit KeychainSnapshot(const JSON& items);

    Status copy(const Query& query, std::string& secret) override;
    Status update(const Query& query, const std::string& secret) override;
    Status add(const Query& query, const std::string& secret) override;
    Status remove(const Query& query) override;

private:
    std::map<std::pair<std::string, std::string>, std::string> items_;
};

} // namespace corvane
