#include "relay/RelayAccounts.h"

#include "core/ContractError.h"
#include "core/Uuid.h"
#include "relay/InProcessRateLimits.h"
#include "relay/InProcessWebSessions.h"
#include "relay/RelayPasswords.h"
#include "relay/RelaySecrets.h"
#include "relay/RelayStoreError.h"
#include "relay/RelayStoreThread.h"

#include <QtGlobal>

#include <algorithm>
#include <stdexcept>

namespace corvane {

namespace {

bool plausibleName(const std::string& name) {
    if (name.empty() || name.size() > 100) {
        return false;
    }
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

// What a joining needs from the store before the password is hashed.
struct Invitation {
    std::optional<std::int64_t> ownerId;
    bool nameTaken = false;
};

} // namespace

RelayAccounts::RelayAccounts(RelayStoreThread& store, RelayPasswords& passwords, const Clock& clock)
    : store_(store)
    , passwords_(passwords)
    , clock_(clock)
    , ownSessions_(std::make_unique<InProcessWebSessions>())
    , ownLimits_(std::make_unique<InProcessRateLimits>())
    , sessions_(*ownSessions_)
    , limits_(*ownLimits_) {
    prepare();
}

RelayAccounts::RelayAccounts(RelayStoreThread& store, RelayPasswords& passwords, const Clock& clock,
                             WebSessions& sessions, RateLimits& limits)
    : store_(store)
    , passwords_(passwords)
    , clock_(clock)
    , sessions_(sessions)
    , limits_(limits) {
    prepare();
}

void RelayAccounts::prepare() {
    if (store_.call<std::int64_t>([](RelayStore& stored) { return stored.accountCount(); }) == 0) {
        setupToken_ = RelaySecrets::randomToken();
    }
    dummyHash_ = RelayPasswords::hashNow(RelaySecrets::randomToken());
}

RelayAccounts::~RelayAccounts() = default;

QCoro::Task<RelayAccounts::Session> RelayAccounts::setUp(std::string token, std::string name,
                                                         std::string password,
                                                         std::string browser) {
    if (setupToken_.empty() || !RelaySecrets::same(token, setupToken_)) {
        throw ContractError("setup_not_available");
    }
    if (!plausibleName(name) || password.size() < shortestPassword ||
        password.size() > longestPassword) {
        throw ContractError("invalid_request");
    }
    // Taken while the account is made, so that a second set-up at the same time cannot make
    // another; given back when this one fails.
    const std::string held = std::exchange(setupToken_, std::string());
    try {
        const std::string hash = co_await passwords_.hash(std::move(password));
        std::function<std::optional<std::int64_t>(RelayStore&)> create =
            [name, hash](RelayStore& stored) {
                return stored.createAccount(name, hash);
            };
        const std::optional<std::int64_t> id =
            co_await store_.run<std::optional<std::int64_t>>(std::move(create));
        if (!id) {
            throw ContractError("setup_not_available");
        }
        // Named first: a temporary built in a co_await's arguments is freed twice on GCC 12.
        const RelayStore::Account owner{*id, name, {}, {}};
        Session session = co_await start(owner, browser);
        co_return session;
    } catch (...) {
        setupToken_ = held;
        throw;
    }
}

QCoro::Task<RelayAccounts::Session> RelayAccounts::signIn(std::string name, std::string password,
                                                          std::string address, bool holdsSession,
                                                          std::string browser) {
    const std::string byName = "name:" + name;
    const std::string byAddress = "address:" + address;
    const RateLimits::Rule failures = failureRule();
    // The address's sign-ins still being checked (on any relay) count as failures until they are
    // known; this one counts from the moment it is admitted, in the same step as the limit is
    // read, so that many at once cannot all pass. Checked before the password, so a limited
    // caller learns nothing from a right guess.
    const std::string checkId = Uuid::make();
    const Clock::WallTime admittedAt = clock_.now();
    const RateLimits::Answer fromAddress = co_await limits_.start(
        byAddress, checkId, failures, admittedAt, admittedAt + checkLifetime);
    if (!fromAddress.allowed) {
        throw ContractError("rate_limited");
    }
    std::optional<Session> session;
    std::exception_ptr failed;
    try {
        // A name under attack slows down only addresses that failed themselves: a refusal of
        // every address would let any stranger lock the owner out.
        if (!holdsSession && fromAddress.count > 0) {
            const RateLimits::Answer forName =
                co_await limits_.check(byName, failures, clock_.now());
            if (!forName.allowed) {
                const RateLimits::Rule pace{1, failedAddressPace};
                const RateLimits::Answer paced =
                    co_await limits_.take("pace:" + name, pace, clock_.now());
                if (!paced.allowed) {
                    throw ContractError("rate_limited");
                }
            }
        }
        if (password.size() > longestPassword) {
            throw ContractError("sign_in_failed");
        }
        std::optional<RelayStore::Account> account;
        if (plausibleName(name)) {
            std::function<std::optional<RelayStore::Account>(RelayStore&)> find =
                [name](RelayStore& stored) {
                    return stored.accountByName(name);
                };
            account = co_await store_.run<std::optional<RelayStore::Account>>(std::move(find));
        }
        const bool right = co_await passwords_.verify(account ? account->passwordHash : dummyHash_,
                                                      std::move(password));
        if (!account || !right) {
            // Noted before the check ends, so that the address never looks clear in between.
            co_await limits_.note(byName, failures, clock_.now());
            co_await limits_.note(byAddress, failures, clock_.now());
            throw ContractError("sign_in_failed");
        }
        // The name's failures stay: its owner signing in does not end a stranger's guessing.
        session = co_await start(*account, browser);
    } catch (...) {
        failed = std::current_exception();
    }
    try {
        co_await limits_.finish(byAddress, checkId);
    } catch (const std::exception& error) {
        // It stops counting at its time limit anyway.
        qWarning("relay: a sign-in check stays counted until it expires: %s", error.what());
    }
    if (failed) {
        std::rethrow_exception(failed);
    }
    co_return std::move(*session);
}

namespace {

// A lookup's answer, kept apart from its caller: one that suspends writes it after the caller
// has given up.
struct Answered {
    std::optional<RelayAccounts::Session> session;
    bool done = false;
};

QCoro::Task<> keep(QCoro::Task<std::optional<RelayAccounts::Session>> lookup,
                   std::shared_ptr<Answered> into) {
    into->session = co_await std::move(lookup);
    into->done = true;
}

} // namespace

QCoro::Task<std::optional<RelayAccounts::Session>> RelayAccounts::find(std::string token) {
    if (token.empty()) {
        co_return std::nullopt;
    }
    const std::optional<WebSessions::Session> found =
        co_await sessions_.find(RelaySecrets::digest(token), clock_.now());
    if (!found) {
        co_return std::nullopt;
    }
    co_return std::optional<Session>(fromStored(*found));
}

std::optional<RelayAccounts::Session> RelayAccounts::session(const std::string& token) {
    const auto answered = std::make_shared<Answered>();
    const QCoro::Task<> lookup = keep(find(token), answered);
    if (!answered->done) {
        throw RelayStoreError("shared sign-in sessions are read by awaiting them");
    }
    return answered->session;
}

QCoro::Task<> RelayAccounts::signOut(std::string token) {
    co_await sessions_.end(RelaySecrets::digest(token));
}

QCoro::Task<std::vector<RelayAccounts::Listed>> RelayAccounts::sessionsOf(std::int64_t personId) {
    const std::vector<WebSessions::Session> found =
        co_await sessions_.sessionsOf(personId, clock_.now());
    std::vector<Listed> listed;
    for (const WebSessions::Session& stored : found) {
        listed.push_back(Listed{stored.key, fromStored(stored)});
    }
    co_return listed;
}

QCoro::Task<std::vector<std::string>> RelayAccounts::signOutOthers(std::int64_t personId,
                                                                   std::string keptKey) {
    std::vector<std::string> ended = co_await sessions_.endAll(personId, std::move(keptKey));
    co_return ended;
}

QCoro::Task<std::string> RelayAccounts::invite(Session owner) {
    if (!owner.owner()) {
        throw ContractError("owner_only");
    }
    std::string token = RelaySecrets::randomToken();
    std::function<void(RelayStore&)> add =
        [hash = RelaySecrets::digest(token), account = owner.accountId,
         expires = clock_.now() + inviteLifetime](RelayStore& stored) {
            stored.addInvite(hash, account, expires);
        };
    co_await store_.run<void>(std::move(add));
    co_return token;
}

QCoro::Task<RelayAccounts::Session> RelayAccounts::join(std::string token, std::string name,
                                                        std::string password, std::string browser) {
    if (!plausibleName(name) || password.size() < shortestPassword ||
        password.size() > longestPassword) {
        throw ContractError("invalid_request");
    }
    // The link first, so that names are told apart only to its holder; then the name, before the
    // link is spent, so that a taken one leaves it working.
    if (token.empty()) {
        throw ContractError("invite_not_available");
    }
    const std::string tokenHash = RelaySecrets::digest(token);
    std::function<Invitation(RelayStore&)> take = [tokenHash, name,
                                                   now = clock_.now()](RelayStore& stored) {
        Invitation invitation;
        if (!stored.inviteOwner(tokenHash, now)) {
            return invitation;
        }
        if (stored.accountByName(name)) {
            invitation.nameTaken = true;
            return invitation;
        }
        invitation.ownerId = stored.takeInvite(tokenHash, now);
        return invitation;
    };
    const Invitation invitation = co_await store_.run<Invitation>(std::move(take));
    if (invitation.nameTaken) {
        throw ContractError("name_taken");
    }
    if (!invitation.ownerId) {
        throw ContractError("invite_not_available");
    }
    const std::int64_t ownerId = *invitation.ownerId;
    const std::string hash = co_await passwords_.hash(std::move(password));
    std::function<std::optional<std::int64_t>(RelayStore&)> create = [name, hash,
                                                                      ownerId](RelayStore& stored) {
        return stored.createMember(name, hash, ownerId);
    };
    const std::optional<std::int64_t> id =
        co_await store_.run<std::optional<std::int64_t>>(std::move(create));
    if (!id) {
        throw ContractError("name_taken");
    }
    const RelayStore::Account member{*id, name, hash, ownerId};
    Session session = co_await start(member, browser);
    co_return session;
}

QCoro::Task<std::vector<std::string>> RelayAccounts::remove(Session owner, std::int64_t personId) {
    if (!owner.owner()) {
        throw ContractError("owner_only");
    }
    if (personId == owner.personId) {
        throw ContractError("not_found");
    }
    std::function<bool(RelayStore&)> removing = [account = owner.accountId,
                                                 personId](RelayStore& stored) {
        return stored.removeMember(account, personId);
    };
    const bool removed = co_await store_.run<bool>(std::move(removing));
    if (!removed) {
        throw ContractError("not_found");
    }
    std::vector<std::string> ended = co_await signOutOthers(personId);
    co_return ended;
}

QCoro::Task<> RelayAccounts::changePassword(Session session, std::string current,
                                            std::string next) {
    const std::string byName = "name:" + session.name;
    const RateLimits::Answer forName = co_await limits_.check(byName, failureRule(), clock_.now());
    if (!forName.allowed) {
        throw ContractError("rate_limited");
    }
    std::function<std::optional<RelayStore::Account>(RelayStore&)> find =
        [name = session.name](RelayStore& stored) {
            return stored.accountByName(name);
        };
    const std::optional<RelayStore::Account> account =
        co_await store_.run<std::optional<RelayStore::Account>>(std::move(find));
    bool right = false;
    if (account && account->id == session.personId && current.size() <= longestPassword) {
        right = co_await passwords_.verify(account->passwordHash, std::move(current));
    }
    if (!right) {
        co_await limits_.note(byName, failureRule(), clock_.now());
        throw ContractError("wrong_password");
    }
    if (next.size() < shortestPassword || next.size() > longestPassword) {
        throw ContractError("weak_password");
    }
    const std::string hash = co_await passwords_.hash(std::move(next));
    std::function<void(RelayStore&)> replace = [id = account->id, hash](RelayStore& stored) {
        stored.setPasswordHash(id, hash);
    };
    co_await store_.run<void>(std::move(replace));
}

namespace {

WebSessions::Session stored(const RelayAccounts::Session& session, Clock::WallTime now) {
    WebSessions::Session kept;
    kept.key = RelaySecrets::digest(session.token);
    kept.accountId = session.accountId;
    kept.personId = session.personId;
    kept.name = session.name;
    kept.csrf = session.csrf;
    kept.browser = session.browser;
    kept.startedAt = now;
    kept.lastUsedAt = now;
    kept.expiresAt = now + RelayAccounts::sessionLifetime;
    return kept;
}

} // namespace

QCoro::Task<RelayAccounts::Session> RelayAccounts::start(RelayStore::Account person,
                                                         std::string browser) {
    const Clock::WallTime now = clock_.now();
    Session session{RelaySecrets::randomToken(),
                    RelaySecrets::randomToken(),
                    person.memberOf.value_or(person.id),
                    person.name,
                    clock_.monotonicNow() + sessionLifetime,
                    now,
                    std::move(browser),
                    person.id};
    co_await sessions_.create(stored(session, now));
    co_return session;
}

RelayAccounts::Session RelayAccounts::fromStored(const WebSessions::Session& stored) const {
    // The expiry is the stored wall time, told on this relay's monotonic clock for the streams
    // that end with the session.
    const auto left =
        std::chrono::duration_cast<Clock::MonotonicTime::duration>(stored.expiresAt - clock_.now());
    return Session{{},
                   stored.csrf,
                   stored.accountId,
                   stored.name,
                   clock_.monotonicNow() + left,
                   stored.startedAt,
                   stored.browser,
                   stored.personId};
}

} // namespace corvane
