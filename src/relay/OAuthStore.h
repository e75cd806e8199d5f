#pragma once

#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace corvane {

// What the relay keeps for the assistants it authorises: registered clients, single-use codes,
// and the grants a person gave (one assistant on one device) with the tokens issued under them.
// Codes and tokens arrive already hashed. Each operation that decides something (taking a code,
// rotating a refresh token) does so in one conditional step, so that a shared database can take
// the place of the embedded one. Every operation throws RelayStoreError when the database fails.
//
// The operations wait for the database on the calling thread; the relay's main thread never calls
// them directly but awaits call(), which runs them where a slow or vanished server holds no one.
class OAuthStore {
public:
    using Time = std::chrono::system_clock::time_point;

    struct Client {
        std::string id;
        std::string name;
        std::vector<std::string> redirectUris;
        Time registeredAt;
    };

    // An authorisation code before it is exchanged.
    struct Code {
        std::string codeHash;
        std::string clientId;
        std::string redirectUri;
        std::string challenge; // the S256 code challenge
        std::string resource;
        std::string deviceId;
        std::int64_t accountId = 0;
        Time expiresAt;
    };

    // One person's consent: one assistant may operate one device. Tokens belong to a grant;
    // revoking it ends them all.
    struct Grant {
        std::string id;
        std::string clientId;
        std::string clientName;
        std::int64_t accountId = 0;
        std::string deviceId;
        std::string resource;
        Time grantedAt;
        std::optional<Time> lastUsedAt;
    };

    enum class TokenKind { Access, Refresh };
    struct Token {
        std::string tokenHash;
        std::string grantId;
        TokenKind kind = TokenKind::Access;
        Time expiresAt;
    };

    virtual ~OAuthStore() = default;

    // Runs `work` on this store off the caller's thread when the store crosses into another
    // process, inline when it does not; the awaiting coroutine resumes on its own thread with the
    // value or the exception `work` ended with (WorkerPoolStopped when the store went first).
    template <typename T>
    QCoro::Task<T> call(std::function<T(OAuthStore&)> work) {
        using Value = std::conditional_t<std::is_void_v<T>, bool, T>;
        auto out = std::make_shared<std::optional<Value>>();
        std::function<void()> job = [this, out, work = std::move(work)] {
            if constexpr (std::is_void_v<T>) {
                work(*this);
                *out = true;
            } else {
                *out = work(*this);
            }
        };
        co_await aside(std::move(job));
        if constexpr (!std::is_void_v<T>) {
            co_return std::move(**out);
        }
    }

    virtual void addClient(const Client& client) = 0;
    virtual std::optional<Client> client(const std::string& id) = 0;

    virtual void addCode(const Code& code) = 0;
    // Marks the code used by the grant `grantId` and gives it back, once: a second call finds
    // nothing. The used code stays (until purged) so that usedCodeGrant can name its grant.
    virtual std::optional<Code> takeCode(const std::string& codeHash,
                                         const std::string& grantId) = 0;
    virtual std::optional<std::string> usedCodeGrant(const std::string& codeHash) = 0;

    // Adds a grant with its first tokens, in one transaction.
    virtual void addGrant(const Grant& grant, const std::vector<Token>& tokens) = 0;
    // A live token (its grant not revoked, the token not yet spent) with its grant.
    virtual std::optional<std::pair<Token, Grant>> token(const std::string& tokenHash) = 0;
    // Whether a refresh token was spent by an earlier rotation (its grant is then revoked by the
    // caller: someone holds a copy).
    virtual std::optional<std::string> spentRefreshGrant(const std::string& tokenHash) = 0;
    // Spends the refresh token `oldHash` and adds `fresh`, in one transaction; false when it was
    // already spent, revoked or unknown.
    virtual bool rotate(const std::string& oldHash, const std::vector<Token>& fresh) = 0;
    virtual void revokeGrant(const std::string& grantId) = 0;
    virtual void touchGrant(const std::string& grantId, Time when) = 0;
    // Live grants of one account, newest first.
    virtual std::vector<Grant> grantsOf(std::int64_t accountId) = 0;
    // Removes codes and tokens that expired before `before`, grants revoked or left without
    // tokens, and clients registered a day before `before` that no code or grant uses (anyone
    // may register, so unused registrations must not pile up).
    virtual void purgeOAuth(Time before) = 0;

protected:
    // Where call() runs its jobs: here, at once, for a store that answers from memory or a local
    // file on the calling thread (which it may be bound to).
    virtual QCoro::Task<void> aside(std::function<void()> job) {
        job();
        co_return;
    }
};

} // namespace corvane
