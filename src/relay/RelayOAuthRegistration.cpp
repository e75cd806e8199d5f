#include "relay/RelayOAuthRegistration.h"

#include "core/Uuid.h"
#include "relay/RelayOAuthError.h"
#include "relay/RelayText.h"

#include <QUrl>

namespace corvane {

namespace {

bool loopback(const QUrl& url) {
    const QString host = url.host();
    return host == QLatin1String("127.0.0.1") || host == QLatin1String("::1") ||
           host == QLatin1String("localhost");
}

// An absolute https URL, or http to a loopback host; never a fragment or user information.
bool acceptable(const std::string& text) {
    if (text.empty() || text.size() > RelayOAuthRegistration::longestRedirectUri) {
        return false;
    }
    const QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || url.hasFragment() || !url.userInfo().isEmpty()) {
        return false;
    }
    return url.scheme() == QLatin1String("https") ||
           (url.scheme() == QLatin1String("http") && loopback(url));
}

std::vector<std::string> listOf(const JSON& body, std::string_view name,
                                const std::vector<std::string>& fallback) {
    const JSON* value = body.find(name);
    if (value == nullptr) {
        return fallback;
    }
    const JSON::Array* items = value->array();
    if (items == nullptr) {
        throw RelayOAuthError("invalid_client_metadata", std::string(name) + " must be an array");
    }
    std::vector<std::string> out;
    for (const JSON& item : *items) {
        const std::string* text = item.string();
        if (text == nullptr) {
            throw RelayOAuthError("invalid_client_metadata",
                                  std::string(name) + " must hold strings");
        }
        out.push_back(*text);
    }
    return out;
}

JSON strings(const std::vector<std::string>& items) {
    JSON::Array out;
    for (const std::string& item : items) {
        out.emplace_back(item);
    }
    return JSON(std::move(out));
}

} // namespace

OAuthStore::Client RelayOAuthRegistration::client(const JSON& body, OAuthStore::Time now) {
    const JSON* uris = body.find("redirect_uris");
    if (uris == nullptr || uris->array() == nullptr || uris->array()->empty() ||
        uris->array()->size() > mostRedirectUris) {
        throw RelayOAuthError("invalid_redirect_uri",
                              "redirect_uris must list one to ten redirect URIs");
    }
    OAuthStore::Client client;
    for (const JSON& uri : *uris->array()) {
        const std::string* text = uri.string();
        if (text == nullptr || !acceptable(*text)) {
            throw RelayOAuthError("invalid_redirect_uri",
                                  "each redirect URI must be https, or http to a loopback address");
        }
        client.redirectUris.push_back(*text);
    }
    for (const std::string& type : listOf(body, "grant_types", {"authorization_code"})) {
        if (type != "authorization_code" && type != "refresh_token") {
            throw RelayOAuthError("invalid_client_metadata",
                                  "only authorization_code and refresh_token grants are supported");
        }
    }
    for (const std::string& type : listOf(body, "response_types", {"code"})) {
        if (type != "code") {
            throw RelayOAuthError("invalid_client_metadata", "only the code response type");
        }
    }
    if (const JSON* name = body.find("client_name"); name != nullptr) {
        const std::string* text = name->string();
        const QString simple =
            text != nullptr ? QString::fromStdString(*text).simplified() : QString();
        if (simple.isEmpty() || simple.size() > longestClientName ||
            !RelayText::plainName(simple.toStdString())) {
            throw RelayOAuthError("invalid_client_metadata",
                                  "client_name must be a short plain name");
        }
        client.name = simple.toStdString();
    } else {
        client.name = hostOf(client.redirectUris.front());
    }
    client.id = Uuid::make();
    client.registeredAt = now;
    return client;
}

JSON RelayOAuthRegistration::answer(const OAuthStore::Client& client) {
    // Every client is public: it proves itself with PKCE, never with a secret.
    return JSON(JSON::Object{
        {"client_id", JSON(client.id)},
        {"client_id_issued_at",
         JSON(static_cast<double>(std::chrono::duration_cast<std::chrono::seconds>(
                                      client.registeredAt.time_since_epoch())
                                      .count()))},
        {"client_name", JSON(client.name)},
        {"redirect_uris", strings(client.redirectUris)},
        {"grant_types", strings({"authorization_code", "refresh_token"})},
        {"response_types", strings({"code"})},
        {"token_endpoint_auth_method", JSON("none")},
    });
}

bool RelayOAuthRegistration::matches(const std::vector<std::string>& registered,
                                     const std::string& given) {
    const QUrl asked(QString::fromStdString(given), QUrl::StrictMode);
    for (const std::string& uri : registered) {
        if (uri == given) {
            return true;
        }
        QUrl known(QString::fromStdString(uri), QUrl::StrictMode);
        if (known.scheme() == QLatin1String("http") && loopback(known) && asked.isValid() &&
            asked.scheme() == known.scheme() && asked.host() == known.host() && asked.port() > 0) {
            known.setPort(asked.port());
            if (known == asked) {
                return true;
            }
        }
    }
    return false;
}

std::string RelayOAuthRegistration::hostOf(const std::string& redirectUri) {
    return QUrl(QString::fromStdString(redirectUri)).host().toStdString();
}

} // namespace corvane
