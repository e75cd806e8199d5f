#pragma once

#include "core/Clock.h"
#include "relay/OAuthStore.h"
#include "relay/RelayHttp.h"
#include "relay/RelayStore.h"

#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

// What the MCP endpoint asks of every call: whose bearer token this is. A token is good while
// it is an unexpired access token of a live grant, for this resource, and its device is still
// the account's; the endpoint operates that device only. Main thread only.
class RelayOAuthValidator {
public:
    struct Access {
        std::int64_t accountId = 0;
        std::string deviceId;
        std::string clientName; // the assistant's name, for the audit
        std::string grantId;
    };

    RelayOAuthValidator(OAuthStore& oauth, RelayStore& relay, const Clock& clock);

    // The access of `request`'s bearer token for `resource` (and, when given, for `deviceId`),
    // or nullopt with `refusal` set to the 401 answer carrying WWW-Authenticate (RFC 6750
    // section 3, with RFC 9728's resource_metadata pointing at `metadataUrl`).
    std::optional<Access> check(const RelayHttpRequest& request, const std::string& resource,
                                const std::string& metadataUrl, RelayHttpResponse& refusal,
                                const std::string* deviceId = nullptr);

private:
    std::optional<Access> access(const std::string& bearer, const std::string& resource,
                                 const std::string* deviceId, std::string& why);

    OAuthStore& oauth_;
    RelayStore& relay_;
    const Clock& clock_;
};

} // namespace corvane
