#include "AssistantSignIn.h"

#include <QCryptographicHash>
#include <QUrl>
#include <QUrlQuery>

#include <gtest/gtest.h>

namespace corvane::test {

const std::string AssistantSignIn::verifier =
    "a-verifier-of-the-assistant-that-is-long-enough-1234567890";
const std::string AssistantSignIn::redirectUri = "http://127.0.0.1:33418/callback";

std::string AssistantSignIn::challengeOf(const std::string& text) {
    return QCryptographicHash::hash(QByteArray::fromStdString(text), QCryptographicHash::Sha256)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)
        .toStdString();
}

QByteArray AssistantSignIn::encoded(const Fields& fields) {
    QByteArray out;
    for (const auto& [name, value] : fields) {
        out += (out.isEmpty() ? "" : "&") + QUrl::toPercentEncoding(QString::fromStdString(name)) +
               '=' + QUrl::toPercentEncoding(QString::fromStdString(value));
    }
    return out;
}

AssistantSignIn::Fields AssistantSignIn::answerIn(const std::string& location) {
    Fields out;
    const QUrlQuery query(QUrl(QString::fromStdString(location)).query(QUrl::FullyEncoded));
    for (const auto& [name, value] : query.queryItems(QUrl::FullyDecoded)) {
        out[name.toStdString()] = value.toStdString();
    }
    return out;
}

JSON AssistantSignIn::tokens(HttpsClient& client, const std::string& origin, Headers session,
                             const std::string& device, const std::string& name) {
    const HttpsClient::Reply registered =
        client.post(QStringLiteral("/oauth/register"),
                    JSON(JSON::Object{{"client_name", JSON(name)},
                                      {"redirect_uris", JSON(JSON::Array{JSON(redirectUri)})}}));
    const std::string* clientId = registered.body.stringMember("client_id");
    if (registered.status != 201 || clientId == nullptr) {
        ADD_FAILURE() << "registration: " << registered.raw.toStdString();
        return JSON();
    }
    const Fields query{{"response_type", "code"},
                       {"client_id", *clientId},
                       {"redirect_uri", redirectUri},
                       {"code_challenge", challengeOf(verifier)},
                       {"code_challenge_method", "S256"},
                       {"resource", origin + "/mcp"},
                       {"state", "state"}};
    session.emplace("Origin", QByteArray::fromStdString(origin));
    const HttpsClient::Reply approved =
        client.post(QStringLiteral("/oauth/authorize"),
                    JSON(JSON::Object{{"query", JSON(encoded(query).toStdString())},
                                      {"approve", JSON(true)},
                                      {"device_id", JSON(device)}}),
                    session);
    const std::string* next = approved.body.stringMember("redirect_to");
    if (approved.status != 200 || next == nullptr) {
        ADD_FAILURE() << "consent: " << approved.raw.toStdString();
        return JSON();
    }
    const HttpsClient::Reply issued = client.postRaw(QStringLiteral("/oauth/token"),
                                                     encoded({{"grant_type", "authorization_code"},
                                                              {"code", answerIn(*next)["code"]},
                                                              {"code_verifier", verifier},
                                                              {"client_id", *clientId},
                                                              {"redirect_uri", redirectUri},
                                                              {"resource", origin + "/mcp"}}),
                                                     "application/x-www-form-urlencoded");
    if (issued.status != 200) {
        ADD_FAILURE() << "token: " << issued.raw.toStdString();
        return JSON();
    }
    return issued.body;
}

} // namespace corvane::test
