#pragma once

#include "core/WorkerPool.h"
#include "relay/OAuthStore.h"

#include <memory>
#include <string>

namespace corvane {

class PostgresConnection;

// OAuthStore in the shared PostgreSQL database, through a connection of its own (the tables come
// from PostgresRelayStore's migrations: open that store first). Whatever decides something is one
// conditional statement, so that of two relays exchanging one code or rotating one refresh token
// at once exactly one succeeds. Each operation waits for its statement on the calling thread;
// call() runs them on a thread of the store's own, so that the relay's main thread only awaits
// them. A lost connection fails that call and is made again at the next one.
class PostgresOAuthStore final : public OAuthStore {
public:
    // Nothing is connected yet. Throws RelayStoreError when `address` cannot be read.
    explicit PostgresOAuthStore(const std::string& address);
    ~PostgresOAuthStore() override;
    PostgresOAuthStore(const PostgresOAuthStore&) = delete;
    PostgresOAuthStore& operator=(const PostgresOAuthStore&) = delete;

    void addClient(const Client& client) override;
    std::optional<Client> client(const std::string& id) override;
    void addCode(const Code& code) override;
    std::optional<Code> takeCode(const std::string& codeHash, const std::string& grantId) override;
    std::optional<std::string> usedCodeGrant(const std::string& codeHash) override;
    void addGrant(const Grant& grant, const std::vector<Token>& tokens) override;
    std::optional<std::pair<Token, Grant>> token(const std::string& tokenHash) override;
    std::optional<std::string> spentRefreshGrant(const std::string& tokenHash) override;
    bool rotate(const std::string& oldHash, const std::vector<Token>& fresh) override;
    void revokeGrant(const std::string& grantId) override;
    void touchGrant(const std::string& grantId, Time when) override;
    std::vector<Grant> grantsOf(std::int64_t accountId) override;
    void purgeOAuth(Time before) override;

protected:
    QCoro::Task<void> aside(std::function<void()> job) override;

private:
    std::unique_ptr<PostgresConnection> connection_;
    // Declared last: going away waits for the call under way before the connection closes.
    WorkerPool thread_{1};
};

} // namespace corvane
