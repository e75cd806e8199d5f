#pragma once

#include "relay/OAuthStore.h"

#include <QSqlDatabase>
#include <QString>

namespace corvane {

// OAuthStore in the relay's SQLite file, through a connection of its own (the file's tables come
// from SqliteRelayStore's migrations, which must have run: open that store first). Used only on
// the thread that constructs it.
class SqliteOAuthStore final : public OAuthStore {
public:
    // Throws RelayStoreError when the file cannot be opened or lacks the tables.
    explicit SqliteOAuthStore(const QString& path);
    ~SqliteOAuthStore() override;
    SqliteOAuthStore(const SqliteOAuthStore&) = delete;
    SqliteOAuthStore& operator=(const SqliteOAuthStore&) = delete;

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

private:
    void insertTokens(const std::vector<Token>& tokens);
    // Runs `work` in a transaction, rolled back when it throws.
    template <typename Work>
    auto transaction(Work work);

    QString connection_;
    QSqlDatabase db_;
};

} // namespace corvane
