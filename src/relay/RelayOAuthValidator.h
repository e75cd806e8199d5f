#pragma once

#include "core/Clock.h"
#include "relay/OAuthStore.h"
#include "relay/RelayHttp.h"
#include "relay/RelayStoreThread.h"

#include <qcoro/qcorotask.h>

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

    // The access a request carries, or the 401 answer carrying WWW-Authenticate (RFC 6750
    // section 3, with RFC 9728's resource_metadata) when it carries none.
    struct Checked {
        std::optional<Access> access;
        RelayHttpResponse refusal;
    };

    RelayOAuthValidator(OAuthStore& oauth, RelayStoreThread& relay, const Clock& clock);

    // The access of `authorization` (the request's header) for `resource` (and, when given, for
    // `deviceId`), the refusal's resource_metadata pointing at `metadataUrl`.
    QCoro::Task<Checked> check(QByteArray authorization, std::string resource,
                               std::string metadataUrl, std::optional<std::string> deviceId);

private:
    // The access, or nullopt with why not.
    QCoro::Task<std::pair<std::optional<Access>, std::string>>
    access(std::string bearer, std::string resource, std::optional<std::string> deviceId);

    OAuthStore& oauth_;
    RelayStoreThread& relay_;
    const Clock& clock_;
};

} // namespace corvane
