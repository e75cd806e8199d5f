#pragma once

// The answers and views the relay's HTTP handlers share, split over RelayServer's files.

#include "core/CommandFeedback.h"
#include "core/ContractError.h"
#include "core/JSON.h"
#include "core/WireTime.h"
#include "relay/DeviceHub.h"
#include "relay/RelayAccounts.h"
#include "relay/RelayHttp.h"
#include "relay/RelayStore.h"
#include "relay/RelayText.h"

#include <QByteArray>
#include <QString>

#include <map>
#include <string>
#include <string_view>

namespace corvane::relayreplies {

using Status = int;

inline const QByteArray sessionCookie = QByteArrayLiteral("__Host-velto_session");

inline RelayHttpResponse jsonAnswer(const JSON& body, int status = 200) {
    RelayHttpResponse response;
    response.status = status;
    response.body = QByteArray::fromStdString(body.data());
    return response;
}

inline Status statusOf(const std::string& code) {
    static const std::map<std::string, Status, std::less<>> statuses{
        {"invalid_request", 400},     {"unauthorized", 401},         {"sign_in_failed", 401},
        {"csrf_failed", 403},         {"setup_not_available", 403},  {"not_found", 404},
        {"pairing_not_found", 404},   {"device_not_found", 404},     {"method_not_allowed", 405},
        {"pairing_pending", 409},     {"device_offline", 409},       {"pairing_expired", 410},
        {"rate_limited", 429},        {"device_busy", 429},          {"too_many_streams", 429},
        {"invalid_device_name", 400}, {"weak_password", 400},        {"wrong_password", 403},
        {"owner_only", 403},          {"invite_not_available", 410}, {"name_taken", 409},
    };
    const auto found = statuses.find(code);
    return found != statuses.end() ? found->second : 500;
}

// {"error": {"code", "message"}}: the agent reads the code, the dashboard shows the sentence.
inline RelayHttpResponse refusal(const std::string& code) {
    return jsonAnswer(
        JSON(JSON::Object{
            {"error",
             JSON(JSON::Object{{"code", JSON(code)}, {"message", JSON(RelayText::error(code))}})}}),
        statusOf(code));
}

inline std::string bearerOf(const RelayHttpRequest& request) {
    const QByteArray value = request.header("authorization");
    return value.startsWith("Bearer ") ? value.mid(7).trimmed().toStdString() : std::string();
}

inline std::string cookieOf(const RelayHttpRequest& request) {
    for (const QByteArray& part : request.header("cookie").split(';')) {
        const QByteArray pair = part.trimmed();
        if (pair.startsWith(sessionCookie + '=')) {
            return pair.mid(sessionCookie.size() + 1).toStdString();
        }
    }
    return {};
}

inline JSON bodyOf(const RelayHttpRequest& request) {
    if (!request.header("content-type").startsWith("application/json")) {
        throw ContractError("invalid_request");
    }
    try {
        const QByteArray& body = request.body;
        JSON value =
            JSON::parse(std::string_view(body.constData(), static_cast<std::size_t>(body.size())));
        if (!value.isObject()) {
            throw ContractError("invalid_request");
        }
        return value;
    } catch (const JSONReadError&) {
        throw ContractError("invalid_request");
    }
}

inline std::string stringIn(const JSON& body, std::string_view name) {
    const std::string* value = body.stringMember(name);
    if (value == nullptr) {
        throw ContractError("invalid_request");
    }
    return *value;
}

inline void setCookie(RelayHttpResponse& response, const std::string& token, qint64 maxAge) {
    response.headers.emplace_back(
        QByteArrayLiteral("Set-Cookie"),
        sessionCookie + '=' + QByteArray::fromStdString(token) +
            "; Path=/; Secure; HttpOnly; SameSite=Strict; Max-Age=" + QByteArray::number(maxAge));
}

inline JSON sessionAnswer(const RelayAccounts::Session& session) {
    return JSON(JSON::Object{{"name", JSON(session.name)},
                             {"csrf", JSON(session.csrf)},
                             {"role", JSON(session.owner() ? "owner" : "member")}});
}

// The answer to a sign-in, set-up or joining: who is signed in, with the session's cookie.
inline RelayHttpResponse signedIn(const RelayAccounts::Session& session) {
    RelayHttpResponse answer = jsonAnswer(sessionAnswer(session));
    setCookie(
        answer, session.token,
        std::chrono::duration_cast<std::chrono::seconds>(RelayAccounts::sessionLifetime).count());
    return answer;
}

inline JSON commandView(const DeviceHub::Command& command) {
    static constexpr const char* states[] = {"sent", "delivered", "finished"};
    JSON::Object view{{"command_id", JSON(command.id)},
                      {"device_id", JSON(command.deviceId)},
                      {"action", JSON(command.action)},
                      {"state", JSON(states[static_cast<int>(command.state)])}};
    if (command.state == DeviceHub::CommandState::Finished) {
        view.emplace("ok", JSON(command.ok));
        if (command.ok) {
            view.emplace("data", command.data);
            view.emplace("message", JSON(CommandFeedback::success(command.action, command.data)));
        } else {
            view.emplace("error_code", JSON(command.errorCode));
            view.emplace("message", JSON(RelayText::error(command.errorCode)));
        }
    }
    return JSON(std::move(view));
}

inline JSON auditView(const RelayStore::Audit& audit) {
    JSON::Object view{{"command_id", JSON(audit.commandId)},
                      {"action", JSON(audit.action)},
                      {"action_name", JSON(CommandFeedback::actionName(audit.action))},
                      {"outcome", JSON(audit.outcome)},
                      {"sent_at", JSON(WireTime::text(audit.sentAt))}};
    if (audit.finishedAt) {
        view.emplace("finished_at", JSON(WireTime::text(*audit.finishedAt)));
        view.emplace("message", JSON(RelayText::outcome(audit.outcome)));
    }
    if (!audit.assistant.empty()) {
        view.emplace("assistant", JSON(audit.assistant));
    }
    return JSON(std::move(view));
}

// What the list and the live events say of one device; `live` is absent for one not seen since
// the relay started.
inline JSON deviceView(const std::string& id, const std::string& name,
                       const DeviceHub::Live* live) {
    JSON::Object view{{"device_id", JSON(id)}, {"online", JSON(false)}};
    if (!name.empty()) {
        view.emplace("name", JSON(name));
    }
    if (live != nullptr) {
        view.insert_or_assign("online", JSON(live->online));
        view.emplace("capabilities", live->capabilities);
        view.emplace("agent_version", JSON(live->agentVersion));
        view.emplace("os_version", JSON(live->osVersion));
        view.emplace("reported_name", JSON(live->reportedName));
        view.emplace("last_seen", JSON(WireTime::text(live->lastSeen)));
    }
    return JSON(std::move(view));
}

// A short description of the browser behind a session ("Chrome on Android"), for the person who
// looks through their signed-in sessions; never more than that of what it says.
inline std::string browserOf(const RelayHttpRequest& request) {
    const QByteArray agent = request.header("user-agent");
    static constexpr std::pair<const char*, const char*> browsers[] = {
        {"Firefox/", "Firefox"}, {"Edg/", "Edge"},      {"OPR/", "Opera"},
        {"Chrome/", "Chrome"},   {"Safari/", "Safari"},
    };
    static constexpr std::pair<const char*, const char*> systems[] = {
        {"Android", "Android"}, {"iPhone", "iPhone"}, {"iPad", "iPad"},   {"Mac OS X", "a Mac"},
        {"Windows", "Windows"}, {"CrOS", "ChromeOS"}, {"Linux", "Linux"},
    };
    std::string browser = "A browser";
    for (const auto& [mark, name] : browsers) {
        if (agent.contains(mark)) {
            browser = name;
            break;
        }
    }
    for (const auto& [mark, name] : systems) {
        if (agent.contains(mark)) {
            return browser + " on " + name;
        }
    }
    return browser;
}

// A name a person gives a computer: shown in lists, so short and free of hidden characters.
inline std::string deviceName(const JSON& body) {
    std::string name = QString::fromStdString(stringIn(body, "name")).simplified().toStdString();
    if (name.empty() || QString::fromStdString(name).size() > 64 || !RelayText::plainName(name)) {
        throw ContractError("invalid_device_name");
    }
    return name;
}

inline JSON sessionRow(const RelayAccounts::Listed& listed, const std::string& currentKey) {
    return JSON(JSON::Object{{"id", JSON(listed.key.substr(0, 16))},
                             {"browser", JSON(listed.session.browser)},
                             {"started_at", JSON(WireTime::text(listed.session.startedAt))},
                             {"current", JSON(listed.key == currentKey)}});
}

inline JSON personRow(const RelayStore::Account& person, std::int64_t you) {
    return JSON(JSON::Object{{"id", JSON(static_cast<double>(person.id))},
                             {"name", JSON(person.name)},
                             {"role", JSON(person.memberOf ? "member" : "owner")},
                             {"you", JSON(person.id == you)}});
}

inline JSON pairingView(const RelayStore::Pairing& pairing) {
    return JSON(JSON::Object{{"code", JSON(pairing.code)},
                             {"device_name", JSON(pairing.deviceName)},
                             {"kind", JSON("mac")},
                             {"agent_version", JSON(pairing.agentVersion)},
                             {"requested_at", JSON(WireTime::text(pairing.requestedAt))},
                             {"expires_at", JSON(WireTime::text(pairing.expiresAt))}});
}

// What travels over the bus: the envelope as the device gets it, and whose command it is.
inline std::string carriedBody(std::int64_t accountId, const std::string& action,
                               const JSON& message) {
    return JSON(JSON::Object{{"account_id", JSON(static_cast<double>(accountId))},
                             {"action", JSON(action)},
                             {"message", message}})
        .data();
}

inline std::string resultBody(bool ok, const JSON& data, const std::string& errorCode) {
    JSON::Object body{{"ok", JSON(ok)}};
    if (ok) {
        body.emplace("data", data);
    } else {
        body.emplace("error_code", JSON(errorCode));
    }
    return JSON(std::move(body)).data();
}

} // namespace corvane::relayreplies
