#pragma once

#include "HttpsClient.h"

#include "core/JSON.h"

#include <QByteArray>

#include <map>
#include <string>

namespace corvane::test {

// An assistant signing in to a relay as a real one does: it registers, the person consents for
// one device with their signed-in session, and the code is exchanged with its PKCE verifier.
class AssistantSignIn {
public:
    using Fields = std::map<std::string, std::string>;
    using Headers = std::map<QByteArray, QByteArray>;

    static const std::string verifier;
    static const std::string redirectUri;

    static std::string challengeOf(const std::string& verifier);
    // application/x-www-form-urlencoded.
    static QByteArray encoded(const Fields& fields);
    // The query of a redirect the relay sent the person to.
    static Fields answerIn(const std::string& location);

    // The whole flow on `client`'s relay at `origin` for an assistant called `name`, the person
    // (their cookie and CSRF token in `session`) choosing `device`: the token answer, or null
    // JSON after recording the test's failure.
    static JSON tokens(HttpsClient& client, const std::string& origin, Headers session,
                       const std::string& device, const std::string& name);
};

} // namespace corvane::test
