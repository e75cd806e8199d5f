#include "relay/RelayAccounts.h"

#include "core/ContractError.h"
#include "relay/RelayPasswords.h"
#include "relay/RelaySecrets.h"
#include "relay/RelayStoreThread.h"

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

// Marks a sign-in from one address as being checked for as long as it lives.
class Checking {
public:
    Checking(std::map<std::string, int, std::less<>>& table, std::string key)
        : table_(table)
        , key_(std::move(key)) {
        ++table_[key_];
    }
    ~Checking() {
        const auto found = table_.find(key_);
        if (--found->second == 0) {
            table_.erase(found);
        }
    }
    Checking(const Checking&) = delete;
    Checking& operator=(const Checking&) = delete;

private:
    std::map<std::string, int, std::less<>>& table_;
    std::string key_;
};

} // namespace

RelayAccounts::RelayAccounts(RelayStoreThread& store, RelayPasswords& passwords, const Clock& clock)
    : store_(store)
    , passwords_(passwords)
    , clock_(clock)
    , failures_(clock, failuresAllowed, failureWindow)
    , paced_(clock, 1, failedAddressPace) {
    if (store_.call<std::int64_t>([](RelayStore& stored) { return stored.accountCount(); }) == 0) {
        setupToken_ = RelaySecrets::randomToken();
    }
    dummyHash_ = RelayPasswords::hashNow(RelaySecrets::randomToken());
}

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
        co_return start(RelayStore::Account{*id, name, {}, {}}, browser);
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
    // Checked before the password, so a limited caller learns nothing from a right guess; the
    // address's sign-ins still being checked count as failures until they are known.
    const auto checked = checking_.find(byAddress);
    const std::size_t underWay = checked != checking_.end() ? checked->second : 0;
    if (failures_.count(byAddress) + underWay >= static_cast<std::size_t>(failuresAllowed)) {
        throw ContractError("rate_limited");
    }
    // A name under attack slows down only addresses that failed themselves: a refusal of every
    // address would let any stranger lock the owner out.
    if (!holdsSession && failures_.count(byAddress) > 0 && failures_.limited(byName)) {
        const std::string pace = "pace:" + name;
        if (paced_.limited(pace)) {
            throw ContractError("rate_limited");
        }
        paced_.note(pace);
    }
    if (password.size() > longestPassword) {
        throw ContractError("sign_in_failed");
    }
    const Checking checking(checking_, byAddress);
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
        failures_.note(byName);
        failures_.note(byAddress);
        throw ContractError("sign_in_failed");
    }
    // The name's failures stay: its owner signing in does not end a stranger's guessing.
    co_return start(*account, browser);
}

std::optional<RelayAccounts::Session> RelayAccounts::session(const std::string& token) {
    if (token.empty()) {
        return std::nullopt;
    }
    const auto found = sessions_.find(RelaySecrets::digest(token));
    if (found == sessions_.end()) {
        return std::nullopt;
    }
    if (clock_.monotonicNow() >= found->second.expiresAt) {
        sessions_.erase(found);
        return std::nullopt;
    }
    return found->second;
}

void RelayAccounts::signOut(const std::string& token) {
    sessions_.erase(RelaySecrets::digest(token));
}

std::vector<RelayAccounts::Listed> RelayAccounts::sessionsOf(std::int64_t personId) {
    const Clock::MonotonicTime now = clock_.monotonicNow();
    std::vector<Listed> listed;
    for (const auto& [key, session] : sessions_) {
        if (session.personId == personId && now < session.expiresAt) {
            listed.push_back({key, session});
        }
    }
    std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
        return a.session.startedAt < b.session.startedAt;
    });
    return listed;
}

std::vector<std::string> RelayAccounts::signOutOthers(std::int64_t personId,
                                                      const std::string& keptKey) {
    std::vector<std::string> ended;
    std::erase_if(sessions_, [&](const auto& entry) {
        if (entry.second.personId != personId || entry.first == keptKey) {
            return false;
        }
        ended.push_back(entry.first);
        return true;
    });
    return ended;
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
    co_return start(RelayStore::Account{*id, name, hash, ownerId}, browser);
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
    co_return signOutOthers(personId);
}

QCoro::Task<> RelayAccounts::changePassword(Session session, std::string current,
                                            std::string next) {
    const std::string byName = "name:" + session.name;
    if (failures_.limited(byName)) {
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
        failures_.note(byName);
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

RelayAccounts::Session RelayAccounts::start(const RelayStore::Account& person,
                                            const std::string& browser) {
    const Clock::MonotonicTime now = clock_.monotonicNow();
    // Expired sessions go whenever a new one starts, so the map stays bounded by live ones.
    std::erase_if(sessions_, [now](const auto& entry) { return now >= entry.second.expiresAt; });
    Session session{RelaySecrets::randomToken(),
                    RelaySecrets::randomToken(),
                    person.memberOf.value_or(person.id),
                    person.name,
                    now + sessionLifetime,
                    clock_.now(),
                    browser,
                    person.id};
    Session kept = session;
    kept.token.clear();
    sessions_.emplace(RelaySecrets::digest(session.token), std::move(kept));
    return session;
}

} // namespace corvane
