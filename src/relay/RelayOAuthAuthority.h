#pragma once

#include "core/Clock.h"
#include "core/JSON.h"
#include "relay/OAuthStore.h"
#include "relay/RelayStore.h"
#include "relay/RelayStoreThread.h"

#include <qcoro/qcorotask.h>

#include <chrono>
#include <map>
#include <string>

namespace corvane {

// The relay's authorisation server for assistants (OAuth 2.1, authorisation code with PKCE S256
// only, public clients): it checks authorisation requests, issues single-use codes once a person
// consents for one of their devices, and exchanges codes and refresh tokens for tokens bound to
// one resource, device and client. Codes and tokens are kept as SHA-256 digests only. Refusals
// are RelayOAuthErrors in OAuth's terms. Main thread only; every store call is awaited.
class RelayOAuthAuthority {
public:
    using Params = std::map<std::string, std::string, std::less<>>;

    static constexpr std::chrono::seconds codeLifetime{60};
    static constexpr std::chrono::minutes accessLifetime{10};
    static constexpr std::chrono::hours refreshLifetime{24 * 30};

    // An authorisation request found sound: who asks, where the answer goes, what it will prove.
    struct Request {
        OAuthStore::Client client;
        std::string redirectUri;
        std::string challenge;
        std::string resource;
        std::string state;
    };

    struct Tokens {
        std::string access;
        std::string refresh;
    };

    RelayOAuthAuthority(OAuthStore& oauth, RelayStoreThread& relay, const Clock& clock);

    QCoro::Task<OAuthStore::Client> registerClient(JSON body);

    // An authorisation request's client and redirect URI (and state): refusals here are shown
    // to the person, since there is nowhere safe to send them.
    QCoro::Task<Request> requester(Params params);
    // The rest of the request, checked against the resource this relay serves: refusals here go
    // back to the client through the redirect URI.
    static void complete(Request& request, const Params& params, const std::string& resource);
    QCoro::Task<Request> request(Params params, std::string resource);
    // The person consented: a code for `deviceId`, which must be one of `accountId`'s devices
    // ("device_not_found" as a ContractError otherwise).
    QCoro::Task<std::string> approve(Request request, std::int64_t accountId, std::string deviceId);
    // Where to send the person back to: the redirect URI with these parameters added.
    static std::string redirect(const Request& request, const Params& answer);

    // The token endpoint (RFC 6749 section 3.2), by grant_type.
    QCoro::Task<Tokens> token(Params params);
    // The token answer (RFC 6749 section 5.1).
    static JSON answer(const Tokens& tokens);

    QCoro::Task<std::vector<OAuthStore::Grant>> grantsOf(std::int64_t accountId);
    // Ends one of the account's grants ("not_found" as a ContractError for another's).
    QCoro::Task<void> revoke(std::int64_t accountId, std::string grantId);

private:
    QCoro::Task<Tokens> exchangeCode(Params params);
    QCoro::Task<Tokens> refresh(Params params);
    QCoro::Task<OAuthStore::Client> clientOf(std::string clientId);
    // The grant's device is still this account's and not removed.
    QCoro::Task<bool> deviceHeld(std::int64_t accountId, std::string deviceId);
    // Fresh tokens for a grant, with the digests to store.
    std::pair<Tokens, std::vector<OAuthStore::Token>> mint(const std::string& grantId);
    QCoro::Task<void> purgeNow();

    OAuthStore& oauth_;
    RelayStoreThread& relay_;
    const Clock& clock_;
    Clock::MonotonicTime lastPurge_;
};

} // namespace corvane
