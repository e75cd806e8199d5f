#include "relay/SqliteOAuthStore.h"

#include "core/Uuid.h"
#include "relay/RelayStoreError.h"
#include "relay/SqliteStatement.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace corvane {

namespace {

using Statement = SqliteStatement;
constexpr auto& millis = SqliteStatement::millis;
constexpr auto& fromMillis = SqliteStatement::fromMillis;
constexpr auto& text = SqliteStatement::text;
constexpr auto& str = SqliteStatement::str;
constexpr auto& fail = SqliteStatement::fail;

// Redirect URIs are validated URLs, which never hold a line break.
QString joined(const std::vector<std::string>& lines) {
    QStringList list;
    for (const std::string& line : lines) {
        list.append(text(line));
    }
    return list.join(QLatin1Char('\n'));
}

std::vector<std::string> split(const QString& lines) {
    std::vector<std::string> out;
    for (const QString& line : lines.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        out.push_back(line.toStdString());
    }
    return out;
}

constexpr const char* grantColumns =
    "g.id, g.client_id, c.name, g.account_id, g.device_id, g.resource, g.granted_at, "
    "g.last_used_at";

OAuthStore::Grant grantFrom(const QSqlQuery& q, int first) {
    OAuthStore::Grant grant;
    grant.id = str(q.value(first));
    grant.clientId = str(q.value(first + 1));
    grant.clientName = str(q.value(first + 2));
    grant.accountId = q.value(first + 3).toLongLong();
    grant.deviceId = str(q.value(first + 4));
    grant.resource = str(q.value(first + 5));
    grant.grantedAt = fromMillis(q.value(first + 6).toLongLong());
    if (!q.value(first + 7).isNull()) {
        grant.lastUsedAt = fromMillis(q.value(first + 7).toLongLong());
    }
    return grant;
}

} // namespace

SqliteOAuthStore::SqliteOAuthStore(const QString& path)
    : connection_(QStringLiteral("oauth-") + QString::fromStdString(Uuid::make())) {
    db_ = SqliteStatement::open(connection_, path);
    try {
        QSqlQuery tables =
            Statement(db_, "SELECT count(*) FROM sqlite_master WHERE name = 'oauth_grants'").exec();
        if (!tables.next() || tables.value(0).toInt() != 1) {
            throw RelayStoreError("relay database: the assistants' tables are missing");
        }
    } catch (...) {
        SqliteStatement::close(db_, connection_);
        throw;
    }
}

SqliteOAuthStore::~SqliteOAuthStore() {
    SqliteStatement::close(db_, connection_);
}

template <typename Work>
auto SqliteOAuthStore::transaction(Work work) {
    if (!db_.transaction()) {
        fail("begin", db_.lastError());
    }
    try {
        auto result = work();
        if (!db_.commit()) {
            fail("commit", db_.lastError());
        }
        return result;
    } catch (...) {
        db_.rollback();
        throw;
    }
}

void SqliteOAuthStore::addClient(const Client& client) {
    Statement(db_, "INSERT INTO oauth_clients (id, name, redirect_uris, registered_at) "
                   "VALUES (?, ?, ?, ?)")
        .bind(text(client.id))
        .bind(text(client.name))
        .bind(joined(client.redirectUris))
        .bind(millis(client.registeredAt))
        .exec();
}

std::optional<OAuthStore::Client> SqliteOAuthStore::client(const std::string& id) {
    QSqlQuery q = Statement(db_, "SELECT id, name, redirect_uris, registered_at FROM "
                                 "oauth_clients WHERE id = ?")
                      .bind(text(id))
                      .exec();
    if (!q.next()) {
        return std::nullopt;
    }
    return Client{str(q.value(0)), str(q.value(1)), split(q.value(2).toString()),
                  fromMillis(q.value(3).toLongLong())};
}

void SqliteOAuthStore::addCode(const Code& code) {
    Statement(db_, "INSERT INTO oauth_codes (code_hash, client_id, redirect_uri, challenge, "
                   "resource, device_id, account_id, expires_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)")
        .bind(text(code.codeHash))
        .bind(text(code.clientId))
        .bind(text(code.redirectUri))
        .bind(text(code.challenge))
        .bind(text(code.resource))
        .bind(text(code.deviceId))
        .bind(static_cast<qint64>(code.accountId))
        .bind(millis(code.expiresAt))
        .exec();
}

std::optional<OAuthStore::Code> SqliteOAuthStore::takeCode(const std::string& codeHash,
                                                           const std::string& grantId) {
    return transaction([&]() -> std::optional<Code> {
        // Whoever marks the row owns the code: a concurrent exchange finds it used.
        if (Statement(db_, "UPDATE oauth_codes SET grant_id = ? WHERE code_hash = ? AND "
                           "grant_id IS NULL")
                .bind(text(grantId))
                .bind(text(codeHash))
                .exec()
                .numRowsAffected() != 1) {
            return std::nullopt;
        }
        QSqlQuery q = Statement(db_, "SELECT code_hash, client_id, redirect_uri, challenge, "
                                     "resource, device_id, account_id, expires_at FROM "
                                     "oauth_codes WHERE code_hash = ?")
                          .bind(text(codeHash))
                          .exec();
        if (!q.next()) {
            return std::nullopt;
        }
        return Code{str(q.value(0)),         str(q.value(1)),
                    str(q.value(2)),         str(q.value(3)),
                    str(q.value(4)),         str(q.value(5)),
                    q.value(6).toLongLong(), fromMillis(q.value(7).toLongLong())};
    });
}

std::optional<std::string> SqliteOAuthStore::usedCodeGrant(const std::string& codeHash) {
    QSqlQuery q = Statement(db_, "SELECT grant_id FROM oauth_codes WHERE code_hash = ? AND "
                                 "grant_id IS NOT NULL")
                      .bind(text(codeHash))
                      .exec();
    if (!q.next()) {
        return std::nullopt;
    }
    return str(q.value(0));
}

void SqliteOAuthStore::insertTokens(const std::vector<Token>& tokens) {
    for (const Token& token : tokens) {
        Statement(db_, "INSERT INTO oauth_tokens (token_hash, grant_id, kind, expires_at) "
                       "VALUES (?, ?, ?, ?)")
            .bind(text(token.tokenHash))
            .bind(text(token.grantId))
            .bind(token.kind == TokenKind::Refresh ? 1 : 0)
            .bind(millis(token.expiresAt))
            .exec();
    }
}

void SqliteOAuthStore::addGrant(const Grant& grant, const std::vector<Token>& tokens) {
    transaction([&] {
        Statement(db_, "INSERT INTO oauth_grants (id, client_id, account_id, device_id, resource, "
                       "granted_at) VALUES (?, ?, ?, ?, ?, ?)")
            .bind(text(grant.id))
            .bind(text(grant.clientId))
            .bind(static_cast<qint64>(grant.accountId))
            .bind(text(grant.deviceId))
            .bind(text(grant.resource))
            .bind(millis(grant.grantedAt))
            .exec();
        insertTokens(tokens);
        return true;
    });
}

std::optional<std::pair<OAuthStore::Token, OAuthStore::Grant>>
SqliteOAuthStore::token(const std::string& tokenHash) {
    const std::string sql = std::string("SELECT t.token_hash, t.grant_id, t.kind, t.expires_at, ") +
                            grantColumns +
                            " FROM oauth_tokens t JOIN oauth_grants g ON g.id = t.grant_id "
                            "JOIN oauth_clients c ON c.id = g.client_id "
                            "WHERE t.token_hash = ? AND t.spent = 0 AND g.revoked = 0";
    QSqlQuery q = Statement(db_, sql.c_str()).bind(text(tokenHash)).exec();
    if (!q.next()) {
        return std::nullopt;
    }
    Token token{str(q.value(0)), str(q.value(1)),
                q.value(2).toInt() == 1 ? TokenKind::Refresh : TokenKind::Access,
                fromMillis(q.value(3).toLongLong())};
    return std::make_pair(std::move(token), grantFrom(q, 4));
}

std::optional<std::string> SqliteOAuthStore::spentRefreshGrant(const std::string& tokenHash) {
    QSqlQuery q = Statement(db_, "SELECT grant_id FROM oauth_tokens WHERE token_hash = ? AND "
                                 "kind = 1 AND spent = 1")
                      .bind(text(tokenHash))
                      .exec();
    if (!q.next()) {
        return std::nullopt;
    }
    return str(q.value(0));
}

bool SqliteOAuthStore::rotate(const std::string& oldHash, const std::vector<Token>& fresh) {
    return transaction([&] {
        const int spent = Statement(db_, "UPDATE oauth_tokens SET spent = 1 WHERE token_hash = ? "
                                         "AND kind = 1 AND spent = 0 AND grant_id IN "
                                         "(SELECT id FROM oauth_grants WHERE revoked = 0)")
                              .bind(text(oldHash))
                              .exec()
                              .numRowsAffected();
        if (spent != 1) {
            return false;
        }
        insertTokens(fresh);
        return true;
    });
}

void SqliteOAuthStore::revokeGrant(const std::string& grantId) {
    Statement(db_, "UPDATE oauth_grants SET revoked = 1 WHERE id = ?").bind(text(grantId)).exec();
}

void SqliteOAuthStore::touchGrant(const std::string& grantId, Time when) {
    Statement(db_, "UPDATE oauth_grants SET last_used_at = ? WHERE id = ?")
        .bind(millis(when))
        .bind(text(grantId))
        .exec();
}

std::vector<OAuthStore::Grant> SqliteOAuthStore::grantsOf(std::int64_t accountId) {
    const std::string sql = std::string("SELECT ") + grantColumns +
                            " FROM oauth_grants g JOIN oauth_clients c ON c.id = g.client_id "
                            "WHERE g.account_id = ? AND g.revoked = 0 ORDER BY g.granted_at DESC";
    QSqlQuery q = Statement(db_, sql.c_str()).bind(static_cast<qint64>(accountId)).exec();
    std::vector<Grant> grants;
    while (q.next()) {
        grants.push_back(grantFrom(q, 0));
    }
    return grants;
}

void SqliteOAuthStore::purgeOAuth(Time before) {
    transaction([&] {
        Statement(db_, "DELETE FROM oauth_codes WHERE expires_at < ?").bind(millis(before)).exec();
        Statement(db_, "DELETE FROM oauth_tokens WHERE expires_at < ?").bind(millis(before)).exec();
        Statement(db_, "DELETE FROM oauth_grants WHERE revoked = 1 OR id NOT IN "
                       "(SELECT grant_id FROM oauth_tokens)")
            .exec();
        Statement(db_, "DELETE FROM oauth_clients WHERE registered_at < ? AND id NOT IN "
                       "(SELECT client_id FROM oauth_grants) AND id NOT IN "
                       "(SELECT client_id FROM oauth_codes)")
            .bind(millis(before - std::chrono::hours(24)))
            .exec();
        return true;
    });
}

} // namespace corvane
