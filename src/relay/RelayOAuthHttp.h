#pragma once

#include "core/Clock.h"
#include "relay/OAuthStore.h"
#include "relay/RelayAccounts.h"
#include "relay/RelayHttp.h"
#include "relay/RelayOAuthAuthority.h"
#include "relay/RelayOAuthValidator.h"
#include "relay/RelayRateLimit.h"

#include <QDir>
#include <qcoro/qcorotask.h>

#include <optional>
#include <string>

namespace corvane {

// The relay's OAuth face over HTTP: the metadata documents (RFC 9728, RFC 8414), client
// registration (RFC 7591), the authorisation endpoint with its consent page, the token endpoint,
// and the dashboard's list of connected assistants ("/v1/assistants"). The relay's public origin
// is the one the request was addressed to (its Host), as for the dashboard's same-origin checks.
// Main thread only; every store call is awaited.
class RelayOAuthHttp {
public:
    // Token and registration calls one address may make (per minute, per hour).
    static constexpr int tokenCallsPerMinute = 60;
    static constexpr int registrationsPerHour = 20;
    static constexpr qsizetype largestRegistration = 8192;

    RelayOAuthHttp(OAuthStore& oauth, RelayStoreThread& relay, RelayAccounts& accounts,
                   const Clock& clock, QDir dashboard);

    // Whether `path` is one of those answered here.
    static bool handles(const QString& path);
    // Answers a request for one of those paths. Dashboard-style refusals ("/v1/...", the consent
    // page's approval) are thrown as ContractErrors for the server's usual answer.
    QCoro::Task<RelayHttpResponse> answer(RelayHttpRequest request);

    // For the MCP endpoint: the access `request` carries, or the refusal to send. A Host that
    // names no origin is refused with ContractError "invalid_request", as on every path.
    QCoro::Task<RelayOAuthValidator::Checked>
    access(RelayHttpRequest request, std::optional<std::string> deviceId = std::nullopt);

private:
    RelayHttpResponse documents(const RelayHttpRequest& request, const std::string& origin);
    QCoro::Task<RelayHttpResponse> registration(RelayHttpRequest request);
    QCoro::Task<RelayHttpResponse> authorizePage(RelayHttpRequest request, std::string origin);
    QCoro::Task<RelayHttpResponse> answerWith(RelayHttpRequest request,
                                              std::optional<RelayAccounts::Session> signedIn);
    QCoro::Task<RelayHttpResponse> authorizeDecision(RelayHttpRequest request, std::string origin,
                                                     std::optional<RelayAccounts::Session> found);
    QCoro::Task<RelayHttpResponse> tokenCall(RelayHttpRequest request);
    // The authorisation request a consent is about; refusals are ContractError
    // "invalid_request" (the dashboard's terms).
    QCoro::Task<RelayOAuthAuthority::Request> consentRequest(QByteArray query, std::string origin);
    QCoro::Task<RelayHttpResponse> assistants(RelayHttpRequest request, std::string origin,
                                              std::optional<RelayAccounts::Session> found);
    // The signed-in session `found` for the request, checking the CSRF token for anything but a
    // GET.
    RelayAccounts::Session session(const RelayHttpRequest& request,
                                   const std::optional<RelayAccounts::Session>& found) const;

    RelayStoreThread& relay_;
    RelayAccounts& accounts_;
    RelayOAuthAuthority authority_;
    RelayOAuthValidator validator_;
    RelayRateLimit tokenCalls_;
    RelayRateLimit registrations_;
    QDir dashboard_;
};

} // namespace corvane
