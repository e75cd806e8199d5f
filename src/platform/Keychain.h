#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace corvane {

// Generic-password items, addressed by service and account, never synchronised to other devices.
class Keychain {
public:
    virtual ~Keychain() = default;

    enum class Status { Success, NotFound, InteractionNotAllowed, Other };

    struct Query {
        std::string service;
        std::string account;
        // Whether the system may show an authentication prompt for this access.
        bool allowInteraction = false;
    };

    // The item's secret bytes on Success; nothing otherwise.
    virtual Status copy(const Query& query, std::string& secret) = 0;
    virtual Status update(const Query& query, const std::string& secret) = 0;
    virtual Status add(const Query& query, const std::string& secret) = 0;
    virtual Status remove(const Query& query) = 0;

    // Held by whoever reads, changes and writes back an item as one step, so that two such cycles
    // over this keychain never interleave. It lives with the keychain rather than in a global so
    // that every user of one keychain shares it and separate keychains stay independent.
    std::mutex& vaultMutex() noexcept { return vaultMutex_; }

private:
    std::mutex vaultMutex_;
};

} // namespace corvane
