#include "relay/RelayServer.h"

#include "relay/RelayServerReplies.h"
#include "relay/RelayStoreThread.h"

namespace corvane {

using namespace relayreplies;

// The signed-in person's own account: setting up, joining, signing in and out, sessions, password
// and the people invited in.

QCoro::Task<RelayHttpResponse> RelayServer::setUp(Call call) {
    const JSON body = bodyOf(call.request);
    const RelayAccounts::Session session =
        co_await accounts_.setUp(stringIn(body, "token"), stringIn(body, "name"),
                                 stringIn(body, "password"), browserOf(call.request));
    co_return signedIn(session);
}

QCoro::Task<RelayHttpResponse> RelayServer::join(Call call) {
    const JSON body = bodyOf(call.request);
    const RelayAccounts::Session session =
        co_await accounts_.join(stringIn(body, "token"), stringIn(body, "name"),
                                stringIn(body, "password"), browserOf(call.request));
    co_return signedIn(session);
}

QCoro::Task<RelayHttpResponse> RelayServer::signIn(Call call) {
    const JSON body = bodyOf(call.request);
    const std::string name = stringIn(body, "name");
    const std::optional<RelayAccounts::Session> current = co_await accounts_.find(call.cookie);
    const RelayAccounts::Session session = co_await accounts_.signIn(
        name, stringIn(body, "password"), RelayRateLimit::addressBlock(call.request.remote),
        current.has_value() && current->name == name, browserOf(call.request));
    co_return signedIn(session);
}

QCoro::Task<RelayHttpResponse> RelayServer::account(Call call) {
    co_return jsonAnswer(sessionAnswer(*call.session));
}

QCoro::Task<RelayHttpResponse> RelayServer::events(Call call) {
    co_return eventStream(*call.session, call.sessionKey);
}

QCoro::Task<RelayHttpResponse> RelayServer::sessions(Call call) {
    const std::vector<RelayAccounts::Listed> found =
        co_await accounts_.sessionsOf(call.session->personId);
    JSON::Array sessions;
    for (const RelayAccounts::Listed& listed : found) {
        sessions.emplace_back(sessionRow(listed, call.sessionKey));
    }
    co_return jsonAnswer(JSON(JSON::Object{{"sessions", JSON(std::move(sessions))}}));
}

QCoro::Task<RelayHttpResponse> RelayServer::signOutOthers(Call call) {
    const std::size_t ended =
        endSessions(co_await accounts_.signOutOthers(call.session->personId, call.sessionKey));
    co_return jsonAnswer(JSON(JSON::Object{{"ended", JSON(static_cast<double>(ended))}}));
}

QCoro::Task<RelayHttpResponse> RelayServer::changePassword(Call call) {
    const JSON body = bodyOf(call.request);
    co_await accounts_.changePassword(*call.session, stringIn(body, "current"),
                                      stringIn(body, "password"));
    // Whoever knew the old password is signed out; this page stays.
    endSessions(co_await accounts_.signOutOthers(call.session->personId, call.sessionKey));
    co_return jsonAnswer(JSON(JSON::Object{}));
}

QCoro::Task<RelayHttpResponse> RelayServer::people(Call call) {
    std::function<std::vector<RelayStore::Account>(RelayStore&)> list =
        [account = call.session->accountId](RelayStore& stored) {
            return stored.peopleOf(account);
        };
    const std::vector<RelayStore::Account> found =
        co_await store_.run<std::vector<RelayStore::Account>>(std::move(list));
    JSON::Array people;
    for (const RelayStore::Account& person : found) {
        people.emplace_back(personRow(person, call.session->personId));
    }
    co_return jsonAnswer(JSON(JSON::Object{{"people", JSON(std::move(people))}}));
}

QCoro::Task<RelayHttpResponse> RelayServer::invite(Call call) {
    const std::string token = co_await accounts_.invite(*call.session);
    co_return jsonAnswer(JSON(JSON::Object{
        {"token", JSON(token)},
        {"expires_at", JSON(WireTime::text(clock_.now() + RelayAccounts::inviteLifetime))}}));
}

QCoro::Task<RelayHttpResponse> RelayServer::removePerson(Call call) {
    const JSON body = bodyOf(call.request);
    const JSON* id = body.find("id");
    const std::optional<double> number = id != nullptr ? id->number() : std::nullopt;
    // Anything but a whole number within a double's exact range is refused before the cast.
    if (!number || *number < 1 || *number > 9007199254740991.0 ||
        *number != static_cast<double>(static_cast<std::int64_t>(*number))) {
        throw ContractError("invalid_request");
    }
    const std::vector<std::string> ended =
        co_await accounts_.remove(*call.session, static_cast<std::int64_t>(*number));
    endSessions(ended);
    co_return jsonAnswer(JSON(JSON::Object{}));
}

QCoro::Task<RelayHttpResponse> RelayServer::signOut(Call call) {
    events_.endSession(call.sessionKey);
    co_await accounts_.signOut(call.cookie);
    RelayHttpResponse answer = jsonAnswer(JSON(JSON::Object{}));
    setCookie(answer, "", 0);
    co_return answer;
}

} // namespace corvane
