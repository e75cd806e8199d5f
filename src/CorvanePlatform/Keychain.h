#pragma once

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
};

} // namespace corvane
