#include "relay/PostgresOAuthStore.h"

#include "core/JSON.h"
#include "relay/PostgresConnection.h"
#include "relay/PostgresTime.h"

namespace corvane {

namespace {

using Rows = PostgresConnection::Rows;
using Values = PostgresConnection::Values;

std::optional<std::string> at(OAuthStore::Time time) {
    return PostgresTime::text(time);
}

OAuthStore::Time timeAt(const Rows& rows, int row, int column) {
    return PostgresTime::from(rows.integer(row, column));
}

// Redirect URIs are validated URLs, which never hold a line break.
std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) {
        out += (out.empty() ? "" : "\n") + line;
    }
    return out;
}

std::vector<std::string> split(const std::string& lines) {
    std::vector<std::string> out;
    std::size_t from = 0;
    while (from <= lines.size()) {
        const std::size_t end = std::min(lines.find('\n', from), lines.size());
        if (end > from) {
            out.push_back(lines.substr(from, end - from));
        }
        from = end + 1;
    }
    return out;
}

// Tokens travel as one JSON array, so that a grant and its tokens are one statement.
std::string tokenRows(const std::vector<OAuthStore::Token>& tokens) {
    JSON::Array rows;
    for (const OAuthStore::Token& token : tokens) {
        rows.emplace_back(JSON::Object{
            {"token_hash", JSON(token.tokenHash)},
            {"grant_id", JSON(token.grantId)},
            {"kind", JSON(token.kind == OAuthStore::TokenKind::Refresh ? 1.0 : 0.0)},
            {"expires_at", JSON(static_cast<double>(PostgresTime::millis(token.expiresAt)))}});
    }
    return JSON(std::move(rows)).data();
}

// The tokens of the JSON array in parameter `param`.
#define CORVANE_INSERT_TOKENS(param)                                                               \
    "INSERT INTO oauth_tokens (token_hash, grant_id, kind, expires_at) "                           \
    "SELECT t.token_hash, t.grant_id, t.kind, t.expires_at FROM jsonb_to_recordset(" param         \
    "::jsonb) AS t(token_hash TEXT, grant_id TEXT, kind INTEGER, expires_at BIGINT)"

constexpr const char* addGrantSql =
    "WITH grant_row AS (INSERT INTO oauth_grants (id, client_id, account_id, device_id, "
    "resource, granted_at) VALUES ($1, $2, $3, $4, $5, $6) RETURNING id) " CORVANE_INSERT_TOKENS(
        "$7") " WHERE EXISTS (SELECT 1 FROM grant_row)";

constexpr const char* rotateSql =
    "WITH spent AS (UPDATE oauth_tokens SET spent = 1 WHERE token_hash = $1 AND kind = 1 "
    "AND spent = 0 AND grant_id IN (SELECT id FROM oauth_grants WHERE revoked = 0) "
    "RETURNING grant_id), added AS (" CORVANE_INSERT_TOKENS(
        "$2") " WHERE EXISTS (SELECT 1 FROM spent) RETURNING 1) SELECT count(*) FROM spent";

#undef CORVANE_INSERT_TOKENS

constexpr const char* grantColumns =
    "g.id, g.client_id, c.name, g.account_id, g.device_id, g.resource, g.granted_at, "
    "g.last_used_at";

OAuthStore::Grant grantAt(const Rows& rows, int row, int first) {
    OAuthStore::Grant grant;
    grant.id = rows.text(row, first);
    grant.clientId = rows.text(row, first + 1);
    grant.clientName = rows.text(row, first + 2);
    grant.accountId = rows.integer(row, first + 3);
    grant.deviceId = rows.text(row, first + 4);
    grant.resource = rows.text(row, first + 5);
    grant.grantedAt = timeAt(rows, row, first + 6);
    if (!rows.isNull(row, first + 7)) {
        grant.lastUsedAt = timeAt(rows, row, first + 7);
    }
    return grant;
}

} // namespace

PostgresOAuthStore::PostgresOAuthStore(const std::string& address)
    : connection_(std::make_unique<PostgresConnection>(address)) {}

PostgresOAuthStore::~PostgresOAuthStore() = default;

QCoro::Task<void> PostgresOAuthStore::aside(std::function<void()> job) {
    co_await thread_.run<void>(std::move(job));
}

void PostgresOAuthStore::addClient(const Client& client) {
    connection_->runNow(
        "add assistant",
        "INSERT INTO oauth_clients (id, name, redirect_uris, registered_at) "
        "VALUES ($1, $2, $3, $4)",
        Values{client.id, client.name, joined(client.redirectUris), at(client.registeredAt)});
}

std::optional<OAuthStore::Client> PostgresOAuthStore::client(const std::string& id) {
    const Rows rows = connection_->runNow(
        "assistant",
        "SELECT id, name, redirect_uris, registered_at FROM oauth_clients WHERE id = $1",
        Values{id});
    if (rows.count() == 0) {
        return std::nullopt;
    }
    return Client{rows.text(0, 0), rows.text(0, 1), split(rows.text(0, 2)), timeAt(rows, 0, 3)};
}

void PostgresOAuthStore::addCode(const Code& code) {
    connection_->runNow(
        "add code",
        "INSERT INTO oauth_codes (code_hash, client_id, redirect_uri, challenge, resource, "
        "device_id, account_id, expires_at) VALUES ($1, $2, $3, $4, $5, $6, $7, $8)",
        Values{code.codeHash, code.clientId, code.redirectUri, code.challenge, code.resource,
               code.deviceId, std::to_string(code.accountId), at(code.expiresAt)});
}

std::optional<OAuthStore::Code> PostgresOAuthStore::takeCode(const std::string& codeHash,
                                                             const std::string& grantId) {
    // One conditional update: of two relays exchanging the code at once, the second one's
    // update waits for the first and then finds it used.
    const Rows rows = connection_->runNow(
        "take code",
        "UPDATE oauth_codes SET grant_id = $2 WHERE code_hash = $1 AND grant_id IS NULL "
        "RETURNING code_hash, client_id, redirect_uri, challenge, resource, device_id, "
        "account_id, expires_at",
        Values{codeHash, grantId});
    if (rows.count() == 0) {
        return std::nullopt;
    }
    return Code{rows.text(0, 0), rows.text(0, 1), rows.text(0, 2),    rows.text(0, 3),
                rows.text(0, 4), rows.text(0, 5), rows.integer(0, 6), timeAt(rows, 0, 7)};
}

std::optional<std::string> PostgresOAuthStore::usedCodeGrant(const std::string& codeHash) {
    const Rows rows = connection_->runNow(
        "used code",
        "SELECT grant_id FROM oauth_codes WHERE code_hash = $1 AND grant_id IS NOT NULL",
        Values{codeHash});
    if (rows.count() == 0) {
        return std::nullopt;
    }
    return rows.text(0, 0);
}

void PostgresOAuthStore::addGrant(const Grant& grant, const std::vector<Token>& tokens) {
    // One statement: the grant exists exactly when its first tokens do.
    connection_->runNow("add grant", addGrantSql,
                        Values{grant.id, grant.clientId, std::to_string(grant.accountId),
                               grant.deviceId, grant.resource, at(grant.grantedAt),
                               tokenRows(tokens)});
}

std::optional<std::pair<OAuthStore::Token, OAuthStore::Grant>>
PostgresOAuthStore::token(const std::string& tokenHash) {
    static const std::string sql =
        std::string("SELECT t.token_hash, t.grant_id, t.kind, t.expires_at, ") + grantColumns +
        " FROM oauth_tokens t JOIN oauth_grants g ON g.id = t.grant_id "
        "JOIN oauth_clients c ON c.id = g.client_id "
        "WHERE t.token_hash = $1 AND t.spent = 0 AND g.revoked = 0";
    const Rows rows = connection_->runNow("token", sql.c_str(), Values{tokenHash});
    if (rows.count() == 0) {
        return std::nullopt;
    }
    Token token{rows.text(0, 0), rows.text(0, 1),
                rows.integer(0, 2) == 1 ? TokenKind::Refresh : TokenKind::Access,
                timeAt(rows, 0, 3)};
    return std::make_pair(std::move(token), grantAt(rows, 0, 4));
}

std::optional<std::string> PostgresOAuthStore::spentRefreshGrant(const std::string& tokenHash) {
    const Rows rows = connection_->runNow(
        "spent token",
        "SELECT grant_id FROM oauth_tokens WHERE token_hash = $1 AND kind = 1 AND spent = 1",
        Values{tokenHash});
    if (rows.count() == 0) {
        return std::nullopt;
    }
    return rows.text(0, 0);
}

bool PostgresOAuthStore::rotate(const std::string& oldHash, const std::vector<Token>& fresh) {
    // The old token is spent by a conditional update and the new ones are added only when it was,
    // in one statement: a second relay rotating the same token waits, then finds it spent.
    return connection_->runNow("rotate token", rotateSql, Values{oldHash, tokenRows(fresh)})
               .integer(0, 0) == 1;
}

void PostgresOAuthStore::revokeGrant(const std::string& grantId) {
    connection_->runNow("revoke grant", "UPDATE oauth_grants SET revoked = 1 WHERE id = $1",
                        Values{grantId});
}

void PostgresOAuthStore::touchGrant(const std::string& grantId, Time when) {
    connection_->runNow("touch grant", "UPDATE oauth_grants SET last_used_at = $1 WHERE id = $2",
                        Values{at(when), grantId});
}

std::vector<OAuthStore::Grant> PostgresOAuthStore::grantsOf(std::int64_t accountId) {
    static const std::string sql =
        std::string("SELECT ") + grantColumns +
        " FROM oauth_grants g JOIN oauth_clients c ON c.id = g.client_id "
        "WHERE g.account_id = $1 AND g.revoked = 0 ORDER BY g.granted_at DESC";
    const Rows rows = connection_->runNow("grants", sql.c_str(), Values{std::to_string(accountId)});
    std::vector<Grant> grants;
    for (int i = 0; i < rows.count(); ++i) {
        grants.push_back(grantAt(rows, i, 0));
    }
    return grants;
}

void PostgresOAuthStore::purgeOAuth(Time before) {
    // Each step on its own: what one leaves for the next (a grant whose last token went) is
    // removed by the next purge at the latest, and the others' conditions hold whatever
    // another relay does meanwhile.
    connection_->runNow("purge codes", "DELETE FROM oauth_codes WHERE expires_at < $1",
                        Values{at(before)});
    connection_->runNow("purge tokens", "DELETE FROM oauth_tokens WHERE expires_at < $1",
                        Values{at(before)});
    connection_->runNow("purge grants",
                        "DELETE FROM oauth_grants g WHERE g.revoked = 1 OR NOT EXISTS "
                        "(SELECT 1 FROM oauth_tokens t WHERE t.grant_id = g.id)",
                        Values{});
    // A code issued to such a client at this very moment makes this step fail (its reference
    // holds the row); the client then goes at a later purge.
    connection_->runNow("purge assistants",
                        "DELETE FROM oauth_clients c WHERE c.registered_at < $1 AND NOT EXISTS "
                        "(SELECT 1 FROM oauth_grants g WHERE g.client_id = c.id) AND NOT EXISTS "
                        "(SELECT 1 FROM oauth_codes o WHERE o.client_id = c.id)",
                        Values{at(before - std::chrono::hours(24))});
}

} // namespace corvane
