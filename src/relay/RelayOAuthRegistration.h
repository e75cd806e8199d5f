#pragma once

#include "core/JSON.h"
#include "relay/OAuthStore.h"

#include <QtGlobal>

#include <string>
#include <vector>

namespace corvane {

// Dynamic client registration (RFC 7591) for public clients: what a registration body may say,
// and which redirect URIs an assistant may name (https, or http to a loopback address for one
// running on the person's own computer). Refusals are RelayOAuthErrors "invalid_redirect_uri" and
// "invalid_client_metadata".
class RelayOAuthRegistration {
public:
    static constexpr std::size_t mostRedirectUris = 10;
    static constexpr std::size_t longestRedirectUri = 2000;
    static constexpr qsizetype longestClientName = 100;

    // A new client from a registration body, with a fresh id; its name is the one given, or the
    // first redirect URI's host.
    static OAuthStore::Client client(const JSON& body, OAuthStore::Time now);
    // The registration answer (RFC 7591 section 3.2.1).
    static JSON answer(const OAuthStore::Client& client);
    // Whether `given` names one of `registered`: the same text, except that a loopback address's
    // port may differ (a local assistant listens on whatever port is free, RFC 8252 section 7.3).
    static bool matches(const std::vector<std::string>& registered, const std::string& given);
    // The host a redirect URI sends the person to, for the consent page.
    static std::string hostOf(const std::string& redirectUri);
};

} // namespace corvane
