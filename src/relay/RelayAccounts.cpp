#include "relay/RelayAccounts.h"

#include "core/ContractError.h"
#include "relay/RelaySecrets.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>

namespace corvane {

namespace {

std::string hashPassword(const std::string& password) {
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(
            out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
            crypto_pwhash_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2ID13) != 0) {
        throw std::runtime_error("password hashing ran out of memory");
    }
    return out;
}

bool verifyPassword(const std::string& hash, const std::string& password) {
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

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

} // namespace

RelayAccounts::RelayAccounts(RelayStore& store, const Clock& clock)
    : store_(store)
    , clock_(clock)
    , failures_(clock, failuresAllowed, failureWindow)
    , paced_(clock, 1, failedAddressPace) {
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium cannot start");
    }
    if (store_.accountCount() == 0) {
        setupToken_ = RelaySecrets::randomToken();
    }
    dummyHash_ = hashPassword(RelaySecrets::randomToken());
}

RelayAccounts::Session RelayAccounts::setUp(const std::string& token, const std::string& name,
                                            const std::string& password,
                                            const std::string& browser) {
    if (setupToken_.empty() || !RelaySecrets::same(token, setupToken_)) {
        throw ContractError("setup_not_available");
    }
    if (!plausibleName(name) || password.size() < shortestPassword ||
        password.size() > longestPassword) {
        throw ContractError("invalid_request");
    }
    const std::optional<std::int64_t> id = store_.createAccount(name, hashPassword(password));
    if (!id) {
        throw ContractError("setup_not_available");
    }
    setupToken_.clear();
    return start(RelayStore::Account{*id, name, {}, {}}, browser);
}

RelayAccounts::Session RelayAccounts::signIn(const std::string& name, const std::string& password,
                                             const std::string& address, bool holdsSession,
                                             const std::string& browser) {
    const std::string byName = "name:" + name;
    const std::string byAddress = "address:" + address;
    // Checked before the password, so a limited caller learns nothing from a right guess.
    if (failures_.limited(byAddress)) {
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
    const std::optional<RelayStore::Account> account =
        plausibleName(name) ? store_.accountByName(name) : std::nullopt;
    const bool right = verifyPassword(account ? account->passwordHash : dummyHash_, password);
    if (!account || !right) {
        failures_.note(byName);
        failures_.note(byAddress);
        throw ContractError("sign_in_failed");
    }
    // The name's failures stay: its owner signing in does not end a stranger's guessing.
    return start(*account, browser);
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

std::string RelayAccounts::invite(const Session& owner) {
    if (!owner.owner()) {
        throw ContractError("owner_only");
    }
    std::string token = RelaySecrets::randomToken();
    store_.addInvite(RelaySecrets::digest(token), owner.accountId, clock_.now() + inviteLifetime);
    return token;
}

RelayAccounts::Session RelayAccounts::join(const std::string& token, const std::string& name,
                                           const std::string& password,
                                           const std::string& browser) {
    if (!plausibleName(name) || password.size() < shortestPassword ||
        password.size() > longestPassword) {
        throw ContractError("invalid_request");
    }
    // The link first, so that names are told apart only to its holder; then the name, before the
    // link is spent, so that a taken one leaves it working.
    const std::string tokenHash = RelaySecrets::digest(token);
    if (token.empty() || !store_.inviteOwner(tokenHash, clock_.now())) {
        throw ContractError("invite_not_available");
    }
    if (store_.accountByName(name)) {
        throw ContractError("name_taken");
    }
    const std::optional<std::int64_t> ownerId = store_.takeInvite(tokenHash, clock_.now());
    if (!ownerId) {
        throw ContractError("invite_not_available");
    }
    const std::string hash = hashPassword(password);
    const std::optional<std::int64_t> id = store_.createMember(name, hash, *ownerId);
    if (!id) {
        throw ContractError("name_taken");
    }
    return start(RelayStore::Account{*id, name, hash, ownerId}, browser);
}

std::vector<std::string> RelayAccounts::remove(const Session& owner, std::int64_t personId) {
    if (!owner.owner()) {
        throw ContractError("owner_only");
    }
    if (personId == owner.personId || !store_.removeMember(owner.accountId, personId)) {
        throw ContractError("not_found");
    }
    return signOutOthers(personId);
}

void RelayAccounts::changePassword(const Session& session, const std::string& current,
                                   const std::string& next) {
    const std::string byName = "name:" + session.name;
    if (failures_.limited(byName)) {
        throw ContractError("rate_limited");
    }
    const std::optional<RelayStore::Account> account = store_.accountByName(session.name);
    if (!account || account->id != session.personId || current.size() > longestPassword ||
        !verifyPassword(account->passwordHash, current)) {
        failures_.note(byName);
        throw ContractError("wrong_password");
    }
    if (next.size() < shortestPassword || next.size() > longestPassword) {
        throw ContractError("weak_password");
    }
    store_.setPasswordHash(account->id, hashPassword(next));
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
