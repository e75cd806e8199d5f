#pragma once

#include "core/Clock.h"
#include "relay/RateLimits.h"
#include "relay/RelayStore.h"
#include "relay/WebSessions.h"

#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// Sign-in for a self-hosted relay. Until the first account exists there is one setup token (shown
// once, at start, as a link) that creates it. Passwords are kept as Argon2id strings; sessions are
// kept in WebSessions (this process's memory, or shared by several relays), keyed by the SHA-256
// of their cookie, and end after a fixed time whatever the browser does. Failed sign-ins are
// counted per address (which is then refused for a while) and per account name (which only slows
// down addresses that have failed themselves, so that strangers' guesses never lock the owner out).
// Refusals are ContractErrors: "setup_not_available", "invalid_request", "sign_in_failed",
// "rate_limited". Main thread only; the store's work runs on its thread and Argon2id on the
// password pool, both awaited, and the object must outlive the calls under way.
class RelayPasswords;
class RelayStoreThread;

class RelayAccounts {
public:
    static constexpr std::chrono::hours sessionLifetime{12};
    static constexpr int failuresAllowed = 5;
    static constexpr std::chrono::minutes failureWindow{15};
    // While a name has failureWindow's worth of failures, addresses that failed too get one try
    // for it per pace between them.
    static constexpr std::chrono::seconds failedAddressPace{3};
    // A sign-in being checked counts against its address until it is known, at most this long
    // (a relay that dies mid-check leaves no count behind for longer).
    static constexpr std::chrono::seconds checkLifetime{60};
    static constexpr std::size_t shortestPassword = 10;
    static constexpr std::size_t longestPassword = 1024;

    // An invitation link works once, within this.
    static constexpr std::chrono::hours inviteLifetime{72};

    struct Session {
        std::string token; // the cookie value; only returned at sign-in
        std::string csrf;
        std::int64_t accountId = 0; // whose devices: the owner's account for a member too
        std::string name;
        Clock::MonotonicTime expiresAt;
        Clock::WallTime startedAt;
        std::string browser;       // what the browser said it is, shortened, for the session list
        std::int64_t personId = 0; // who signed in: accountId for the owner
        bool owner() const noexcept { return personId == accountId; }
    };
    // A live session as its account's list shows it: `key` is the digest of its cookie.
    struct Listed {
        std::string key;
        Session session;
    };

    // Sessions and limits in this process's memory (a relay on its own).
    RelayAccounts(RelayStoreThread& store, RelayPasswords& passwords, const Clock& clock);
    // Sessions and limits another owner keeps (shared by several relays); they must outlive it.
    RelayAccounts(RelayStoreThread& store, RelayPasswords& passwords, const Clock& clock,
                  WebSessions& sessions, RateLimits& limits);
    ~RelayAccounts();

    // The one-time token while no account exists, else empty.
    const std::string& setupToken() const noexcept { return setupToken_; }
    // Creates the first account and signs it in.
    QCoro::Task<Session> setUp(std::string token, std::string name, std::string password,
                               std::string browser = {});
    // `address` is the caller's RelayRateLimit::addressBlock; `holdsSession` says the caller
    // already holds a live session of this name (a browser signing in again).
    QCoro::Task<Session> signIn(std::string name, std::string password, std::string address,
                                bool holdsSession = false, std::string browser = {});
    // The live session for a cookie value; absent when unknown or expired.
    QCoro::Task<std::optional<Session>> find(std::string token);
    // The same answered at once, for callers that cannot wait: only sessions kept in this
    // process answer so (shared ones throw RelayStoreError).
    std::optional<Session> session(const std::string& token);
    QCoro::Task<> signOut(std::string token);
    // One person's live sessions, oldest first.
    QCoro::Task<std::vector<Listed>> sessionsOf(std::int64_t personId);
    // Ends one person's sessions but the one with key `keptKey` (none: all of them); returns the
    // keys of those that ended.
    QCoro::Task<std::vector<std::string>> signOutOthers(std::int64_t personId,
                                                        std::string keptKey = {});
    // A one-time link's token that lets a second person into the owner's account
    // ("owner_only" for a member).
    QCoro::Task<std::string> invite(Session owner);
    // Creates the invited person and signs them in ("invite_not_available" for a link used,
    // replaced or expired; "name_taken"; "invalid_request" as at set-up).
    QCoro::Task<Session> join(std::string token, std::string name, std::string password,
                              std::string browser = {});
    // Removes a member of the owner's account and ends their sessions, whose keys it returns
    // ("owner_only", "not_found").
    QCoro::Task<std::vector<std::string>> remove(Session owner, std::int64_t personId);
    // Replaces the password after checking the current one ("wrong_password", counted with the
    // sign-in failures of the name; "weak_password" for a new one too short or too long).
    QCoro::Task<> changePassword(Session session, std::string current, std::string next);

private:
    void prepare();
    QCoro::Task<Session> start(RelayStore::Account person, std::string browser);
    // The session as callers see it, its expiry counted on the monotonic clock.
    Session fromStored(const WebSessions::Session& stored) const;
    RateLimits::Rule failureRule() const { return {failuresAllowed, failureWindow}; }

    RelayStoreThread& store_;
    RelayPasswords& passwords_;
    const Clock& clock_;
    std::string setupToken_;
    std::string dummyHash_; // verified against when the name is unknown, to take as long
    std::unique_ptr<WebSessions> ownSessions_;
    std::unique_ptr<RateLimits> ownLimits_;
    WebSessions& sessions_;
    RateLimits& limits_;
};

} // namespace corvane
