#include "relay/SqliteRelayStore.h"

#include "core/Uuid.h"
#include "relay/RelayStoreError.h"
#include "relay/SqliteStatement.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <array>

namespace corvane {

namespace {

// Migration n brings a file from user_version n to n + 1. Never edit one that shipped: add one.
constexpr std::array<const char*, 8> migrations{
    R"sql(
CREATE TABLE accounts (
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,
  password_hash TEXT NOT NULL
);
CREATE TABLE pairings (
  code TEXT PRIMARY KEY,
  device_id TEXT NOT NULL UNIQUE,
  bootstrap_hash TEXT NOT NULL UNIQUE,
  device_name TEXT NOT NULL,
  expires_at INTEGER NOT NULL,
  state INTEGER NOT NULL,
  account_id INTEGER REFERENCES accounts(id)
);
CREATE TABLE devices (
  id TEXT PRIMARY KEY,
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  name TEXT NOT NULL,
  token_hash TEXT NOT NULL,
  paired_at INTEGER NOT NULL,
  revoked INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX devices_by_account ON devices(account_id);
CREATE TABLE audit (
  command_id TEXT PRIMARY KEY,
  account_id INTEGER NOT NULL,
  device_id TEXT NOT NULL,
  action TEXT NOT NULL,
  outcome TEXT NOT NULL,
  sent_at INTEGER NOT NULL,
  finished_at INTEGER
);
CREATE INDEX audit_by_device ON audit(device_id, sent_at);
)sql",
    // What the approval card shows, and where each code was asked for.
    R"sql(
ALTER TABLE pairings ADD COLUMN agent_version TEXT NOT NULL DEFAULT '';
ALTER TABLE pairings ADD COLUMN requested_at INTEGER NOT NULL DEFAULT 0;
ALTER TABLE pairings ADD COLUMN address_block TEXT NOT NULL DEFAULT '';
CREATE INDEX pairings_by_block ON pairings(address_block, state, expires_at);
CREATE INDEX audit_unfinished ON audit(finished_at) WHERE finished_at IS NULL;
)sql",
    // People invited into an account, and the invitations waiting for them.
    R"sql(
ALTER TABLE accounts ADD COLUMN member_of INTEGER REFERENCES accounts(id);
CREATE INDEX accounts_by_owner ON accounts(member_of);
CREATE TABLE invites (
  token_hash TEXT PRIMARY KEY,
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  expires_at INTEGER NOT NULL
);
)sql",
    // The assistants people authorised: clients, codes, grants and their tokens (OAuthStore).
    R"sql(
CREATE TABLE oauth_clients (
  id TEXT PRIMARY KEY,
  name TEXT NOT NULL,
  redirect_uris TEXT NOT NULL,
  registered_at INTEGER NOT NULL
);
CREATE TABLE oauth_codes (
  code_hash TEXT PRIMARY KEY,
  client_id TEXT NOT NULL REFERENCES oauth_clients(id),
  redirect_uri TEXT NOT NULL,
  challenge TEXT NOT NULL,
  resource TEXT NOT NULL,
  device_id TEXT NOT NULL,
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  expires_at INTEGER NOT NULL,
  grant_id TEXT
);
CREATE TABLE oauth_grants (
  id TEXT PRIMARY KEY,
  client_id TEXT NOT NULL REFERENCES oauth_clients(id),
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  device_id TEXT NOT NULL,
  resource TEXT NOT NULL,
  granted_at INTEGER NOT NULL,
  last_used_at INTEGER,
  revoked INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX oauth_grants_by_account ON oauth_grants(account_id, revoked);
CREATE TABLE oauth_tokens (
  token_hash TEXT PRIMARY KEY,
  grant_id TEXT NOT NULL REFERENCES oauth_grants(id) ON DELETE CASCADE,
  kind INTEGER NOT NULL,
  expires_at INTEGER NOT NULL,
  spent INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX oauth_tokens_by_grant ON oauth_tokens(grant_id);
)sql",
    // The tables several relays share on PostgreSQL, kept in step (one relay keeps this state in
    // memory and leaves them empty).
    R"sql(
CREATE TABLE web_sessions (
  key TEXT PRIMARY KEY,
  account_id INTEGER NOT NULL,
  person_id INTEGER NOT NULL,
  name TEXT NOT NULL,
  csrf TEXT NOT NULL,
  browser TEXT NOT NULL,
  started_at INTEGER NOT NULL,
  last_used_at INTEGER NOT NULL,
  expires_at INTEGER NOT NULL
);
CREATE INDEX web_sessions_by_person ON web_sessions(person_id);
CREATE INDEX web_sessions_by_expiry ON web_sessions(expires_at);
CREATE TABLE rate_events (
  key TEXT PRIMARY KEY,
  times TEXT NOT NULL,
  granted INTEGER NOT NULL DEFAULT 1,
  expires_at INTEGER NOT NULL
);
CREATE INDEX rate_events_by_expiry ON rate_events(expires_at);
CREATE TABLE relays (
  id TEXT PRIMARY KEY,
  lease_until INTEGER NOT NULL
);
CREATE TABLE device_presence (
  device_id TEXT PRIMARY KEY,
  relay_id TEXT NOT NULL,
  claimed_at INTEGER NOT NULL
);
CREATE INDEX device_presence_by_relay ON device_presence(relay_id);
CREATE TABLE presence_lost (
  relay_id TEXT NOT NULL,
  device_id TEXT NOT NULL,
  PRIMARY KEY (relay_id, device_id)
);
CREATE TABLE bus_commands (
  id TEXT PRIMARY KEY,
  device_id TEXT NOT NULL,
  sender TEXT NOT NULL,
  target TEXT NOT NULL,
  state INTEGER NOT NULL,
  body TEXT NOT NULL,
  result TEXT,
  sent_at INTEGER NOT NULL
);
CREATE INDEX bus_commands_by_target ON bus_commands(target, state);
CREATE INDEX bus_commands_by_sender ON bus_commands(sender, state);
CREATE INDEX bus_commands_by_time ON bus_commands(sent_at);
)sql",
    // The assistant each command came from, for the audit.
    R"sql(
ALTER TABLE audit ADD COLUMN assistant TEXT NOT NULL DEFAULT '';
)sql",
    // Purging the assistants' expired codes and tokens by time; sign-ins being checked beside
    // each rate-limit key (used on PostgreSQL, kept in step here).
    R"sql(
CREATE INDEX oauth_codes_by_expiry ON oauth_codes(expires_at);
CREATE INDEX oauth_tokens_by_expiry ON oauth_tokens(expires_at);
ALTER TABLE rate_events ADD COLUMN checking TEXT NOT NULL DEFAULT '{}';
)sql",
    // Each device's last report for the relays that do not hold its socket, and the commands
    // still open, which a relay looks through for those whose sender died.
    R"sql(
CREATE TABLE device_reports (
  device_id TEXT PRIMARY KEY,
  account_id INTEGER NOT NULL,
  report TEXT NOT NULL,
  updated_at INTEGER NOT NULL
);
CREATE INDEX bus_commands_open ON bus_commands(state) WHERE state IN (0, 1, 2);
)sql"};

using Statement = SqliteStatement;
constexpr auto& millis = SqliteStatement::millis;
constexpr auto& fromMillis = SqliteStatement::fromMillis;
constexpr auto& text = SqliteStatement::text;
constexpr auto& str = SqliteStatement::str;
constexpr auto& fail = SqliteStatement::fail;

RelayStore::Pairing pairingFrom(const QSqlQuery& q) {
    RelayStore::Pairing p;
    p.code = str(q.value(0));
    p.deviceId = str(q.value(1));
    p.bootstrapHash = str(q.value(2));
    p.deviceName = str(q.value(3));
    p.expiresAt = fromMillis(q.value(4).toLongLong());
    p.state = static_cast<RelayStore::PairingState>(q.value(5).toInt());
    p.accountId = q.value(6).isNull() ? 0 : q.value(6).toLongLong();
    p.agentVersion = str(q.value(7));
    p.requestedAt = fromMillis(q.value(8).toLongLong());
    p.addressBlock = str(q.value(9));
    return p;
}

RelayStore::Device deviceFrom(const QSqlQuery& q) {
    RelayStore::Device d;
    d.id = str(q.value(0));
    d.accountId = q.value(1).toLongLong();
    d.name = str(q.value(2));
    d.tokenHash = str(q.value(3));
    d.pairedAt = fromMillis(q.value(4).toLongLong());
    d.revoked = q.value(5).toInt() != 0;
    return d;
}

int stateValue(RelayStore::PairingState state) {
    return static_cast<int>(state);
}

} // namespace

int SqliteRelayStore::schemaVersion() {
    return static_cast<int>(migrations.size());
}

SqliteRelayStore::SqliteRelayStore(const QString& path)
    : connection_(QStringLiteral("relay-") + QString::fromStdString(Uuid::make())) {
    db_ = SqliteStatement::open(connection_, path);
    try {
        Statement(db_, "PRAGMA journal_mode = WAL").exec();
        // Every commit is synced before its caller hears of it: a command's audit row survives a
        // power cut once the command has left. The store's thread groups writes so that a busy
        // relay pays one sync for many of them instead.
        Statement(db_, "PRAGMA synchronous = FULL").exec();
        migrate();
    } catch (...) {
        SqliteStatement::close(db_, connection_);
        throw;
    }
}

SqliteRelayStore::~SqliteRelayStore() {
    SqliteStatement::close(db_, connection_);
}

void SqliteRelayStore::migrate() {
    QSqlQuery version = Statement(db_, "PRAGMA user_version").exec();
    const int current = version.next() ? version.value(0).toInt() : 0;
    if (current > schemaVersion()) {
        throw RelayStoreError("relay database: written by a newer relay (schema " +
                              std::to_string(current) + ")");
    }
    for (int n = current; n < schemaVersion(); ++n) {
        if (!db_.transaction()) {
            fail("begin migration", db_.lastError());
        }
        // QSqlQuery runs one statement at a time.
        for (const QString& sql : QString::fromUtf8(migrations[static_cast<std::size_t>(n)])
                                      .split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            if (sql.trimmed().isEmpty()) {
                continue;
            }
            QSqlQuery q(db_);
            if (!q.exec(sql)) {
                const QSqlError error = q.lastError();
                db_.rollback();
                fail("migration", error);
            }
        }
        QSqlQuery stamp(db_);
        if (!stamp.exec(QStringLiteral("PRAGMA user_version = %1").arg(n + 1)) || !db_.commit()) {
            const QSqlError error =
                stamp.lastError().isValid() ? stamp.lastError() : db_.lastError();
            db_.rollback();
            fail("migration", error);
        }
    }
}

std::optional<std::int64_t> SqliteRelayStore::createAccount(const std::string& name,
                                                            const std::string& passwordHash) {
    QSqlQuery q = Statement(db_, "INSERT INTO accounts (name, password_hash) VALUES (?, ?) "
                                 "ON CONFLICT(name) DO NOTHING")
                      .bind(text(name))
                      .bind(text(passwordHash))
                      .exec();
    if (q.numRowsAffected() != 1) {
        return std::nullopt;
    }
    return q.lastInsertId().toLongLong();
}

namespace {

RelayStore::Account accountOf(const QSqlQuery& q) {
    RelayStore::Account account{q.value(0).toLongLong(), str(q.value(1)), str(q.value(2)), {}};
    if (!q.value(3).isNull()) {
        account.memberOf = q.value(3).toLongLong();
    }
    return account;
}

} // namespace

std::optional<RelayStore::Account> SqliteRelayStore::accountByName(const std::string& name) {
    QSqlQuery q = Statement(db_, "SELECT id, name, password_hash, member_of FROM accounts "
                                 "WHERE name = ?")
                      .bind(text(name))
                      .exec();
    if (!q.next()) {
        return std::nullopt;
    }
    return accountOf(q);
}

std::optional<std::int64_t> SqliteRelayStore::createMember(const std::string& name,
                                                           const std::string& passwordHash,
                                                           std::int64_t ownerId) {
    QSqlQuery q = Statement(db_, "INSERT INTO accounts (name, password_hash, member_of) "
                                 "VALUES (?, ?, ?) ON CONFLICT(name) DO NOTHING")
                      .bind(text(name))
                      .bind(text(passwordHash))
                      .bind(QVariant::fromValue(static_cast<qint64>(ownerId)))
                      .exec();
    if (q.numRowsAffected() != 1) {
        return std::nullopt;
    }
    return q.lastInsertId().toLongLong();
}

std::vector<RelayStore::Account> SqliteRelayStore::peopleOf(std::int64_t ownerId) {
    QSqlQuery q = Statement(db_, "SELECT id, name, password_hash, member_of FROM accounts "
                                 "WHERE id = ? OR member_of = ? ORDER BY member_of IS NOT NULL, id")
                      .bind(QVariant::fromValue(static_cast<qint64>(ownerId)))
                      .bind(QVariant::fromValue(static_cast<qint64>(ownerId)))
                      .exec();
    std::vector<Account> people;
    while (q.next()) {
        people.push_back(accountOf(q));
    }
    return people;
}

bool SqliteRelayStore::removeMember(std::int64_t ownerId, std::int64_t memberId) {
    QSqlQuery q = Statement(db_, "DELETE FROM accounts WHERE id = ? AND member_of = ?")
                      .bind(QVariant::fromValue(static_cast<qint64>(memberId)))
                      .bind(QVariant::fromValue(static_cast<qint64>(ownerId)))
                      .exec();
    return q.numRowsAffected() == 1;
}

void SqliteRelayStore::addInvite(const std::string& tokenHash, std::int64_t ownerId,
                                 Time expiresAt) {
    Statement(db_, "DELETE FROM invites WHERE account_id = ?")
        .bind(QVariant::fromValue(static_cast<qint64>(ownerId)))
        .exec();
    Statement(db_, "INSERT INTO invites (token_hash, account_id, expires_at) VALUES (?, ?, ?)")
        .bind(text(tokenHash))
        .bind(QVariant::fromValue(static_cast<qint64>(ownerId)))
        .bind(millis(expiresAt))
        .exec();
}

std::optional<std::int64_t> SqliteRelayStore::inviteOwner(const std::string& tokenHash, Time now) {
    QSqlQuery q = Statement(db_, "SELECT account_id FROM invites WHERE token_hash = ? AND "
                                 "expires_at > ?")
                      .bind(text(tokenHash))
                      .bind(millis(now))
                      .exec();
    if (!q.next()) {
        return std::nullopt;
    }
    return q.value(0).toLongLong();
}

std::optional<std::int64_t> SqliteRelayStore::takeInvite(const std::string& tokenHash, Time now) {
    QSqlQuery q = Statement(db_, "DELETE FROM invites WHERE token_hash = ? "
                                 "RETURNING account_id, expires_at")
                      .bind(text(tokenHash))
                      .exec();
    if (!q.next() || q.value(1).toLongLong() <= millis(now)) {
        return std::nullopt;
    }
    return q.value(0).toLongLong();
}

std::int64_t SqliteRelayStore::accountCount() {
    QSqlQuery q = Statement(db_, "SELECT COUNT(*) FROM accounts").exec();
    return q.next() ? q.value(0).toLongLong() : 0;
}

bool SqliteRelayStore::addPairing(const Pairing& p) {
    return Statement(db_, "INSERT INTO pairings (code, device_id, bootstrap_hash, device_name, "
                          "expires_at, state, account_id, agent_version, requested_at, "
                          "address_block) VALUES (?, ?, ?, ?, ?, ?, NULL, ?, ?, ?) "
                          "ON CONFLICT DO NOTHING")
               .bind(text(p.code))
               .bind(text(p.deviceId))
               .bind(text(p.bootstrapHash))
               .bind(text(p.deviceName))
               .bind(millis(p.expiresAt))
               .bind(stateValue(p.state))
               .bind(text(p.agentVersion))
               .bind(millis(p.requestedAt))
               .bind(text(p.addressBlock))
               .exec()
               .numRowsAffected() == 1;
}

std::optional<RelayStore::Pairing> SqliteRelayStore::pairingWhere(const QString& column,
                                                                  const std::string& value) {
    const std::string sql = "SELECT code, device_id, bootstrap_hash, device_name, expires_at, "
                            "state, account_id, agent_version, requested_at, address_block "
                            "FROM pairings WHERE " +
                            column.toStdString() + " = ?";
    QSqlQuery q = Statement(db_, sql.c_str()).bind(text(value)).exec();
    if (!q.next()) {
        return std::nullopt;
    }
    return pairingFrom(q);
}

std::optional<RelayStore::Pairing> SqliteRelayStore::pairingByCode(const std::string& code) {
    return pairingWhere(QStringLiteral("code"), code);
}

std::optional<RelayStore::Pairing>
SqliteRelayStore::pairingByBootstrap(const std::string& bootstrapHash) {
    return pairingWhere(QStringLiteral("bootstrap_hash"), bootstrapHash);
}

bool SqliteRelayStore::approvePairing(const std::string& code, std::int64_t accountId, Time now) {
    QSqlQuery q = Statement(db_, "UPDATE pairings SET state = ?, account_id = ? "
                                 "WHERE code = ? AND state = ? AND expires_at > ?")
                      .bind(stateValue(PairingState::Approved))
                      .bind(QVariant::fromValue(static_cast<qint64>(accountId)))
                      .bind(text(code))
                      .bind(stateValue(PairingState::Pending))
                      .bind(millis(now))
                      .exec();
    return q.numRowsAffected() == 1;
}

bool SqliteRelayStore::redeemPairing(const std::string& bootstrapHash, const std::string& tokenHash,
                                     Time now) {
    // A savepoint rather than a transaction: it nests inside a group of writes as well.
    Statement(db_, "SAVEPOINT redeem").exec();
    const auto undo = [this] {
        QSqlQuery(db_).exec(QStringLiteral("ROLLBACK TO redeem"));
        QSqlQuery(db_).exec(QStringLiteral("RELEASE redeem"));
    };
    try {
        QSqlQuery moved = Statement(db_, "UPDATE pairings SET state = ? WHERE bootstrap_hash = ? "
                                         "AND state = ? AND expires_at > ?")
                              .bind(stateValue(PairingState::Redeemed))
                              .bind(text(bootstrapHash))
                              .bind(stateValue(PairingState::Approved))
                              .bind(millis(now))
                              .exec();
        if (moved.numRowsAffected() != 1) {
            undo();
            return false;
        }
        Statement(db_, "INSERT INTO devices (id, account_id, name, token_hash, paired_at) "
                       "SELECT device_id, account_id, device_name, ?, ? FROM pairings "
                       "WHERE bootstrap_hash = ?")
            .bind(text(tokenHash))
            .bind(millis(now))
            .bind(text(bootstrapHash))
            .exec();
        Statement(db_, "RELEASE redeem").exec();
    } catch (...) {
        undo();
        throw;
    }
    return true;
}

void SqliteRelayStore::cancelPairing(const std::string& bootstrapHash) {
    Statement(db_, "UPDATE pairings SET state = ? WHERE bootstrap_hash = ? AND state IN (?, ?)")
        .bind(stateValue(PairingState::Cancelled))
        .bind(text(bootstrapHash))
        .bind(stateValue(PairingState::Pending))
        .bind(stateValue(PairingState::Approved))
        .exec();
}

void SqliteRelayStore::purgePairings(Time before) {
    Statement(db_, "DELETE FROM pairings WHERE expires_at < ? AND state != ?")
        .bind(millis(before))
        .bind(stateValue(PairingState::Redeemed))
        .exec();
}

std::int64_t SqliteRelayStore::pendingPairings(Time now) {
    QSqlQuery q = Statement(db_, "SELECT COUNT(*) FROM pairings WHERE state = ? AND expires_at > ?")
                      .bind(stateValue(PairingState::Pending))
                      .bind(millis(now))
                      .exec();
    return q.next() ? q.value(0).toLongLong() : 0;
}

std::int64_t SqliteRelayStore::pendingPairingsFrom(const std::string& addressBlock, Time now) {
    QSqlQuery q = Statement(db_, "SELECT COUNT(*) FROM pairings WHERE address_block = ? "
                                 "AND state = ? AND expires_at > ?")
                      .bind(text(addressBlock))
                      .bind(stateValue(PairingState::Pending))
                      .bind(millis(now))
                      .exec();
    return q.next() ? q.value(0).toLongLong() : 0;
}

std::optional<RelayStore::Device> SqliteRelayStore::device(const std::string& id) {
    QSqlQuery q = Statement(db_, "SELECT id, account_id, name, token_hash, paired_at, revoked "
                                 "FROM devices WHERE id = ?")
                      .bind(text(id))
                      .exec();
    if (!q.next()) {
        return std::nullopt;
    }
    return deviceFrom(q);
}

std::vector<RelayStore::Device> SqliteRelayStore::devicesOf(std::int64_t accountId) {
    QSqlQuery q = Statement(db_, "SELECT id, account_id, name, token_hash, paired_at, revoked "
                                 "FROM devices WHERE account_id = ? AND revoked = 0 "
                                 "ORDER BY paired_at")
                      .bind(QVariant::fromValue(static_cast<qint64>(accountId)))
                      .exec();
    std::vector<Device> out;
    while (q.next()) {
        out.push_back(deviceFrom(q));
    }
    return out;
}

void SqliteRelayStore::revokeDevice(const std::string& id) {
    Statement(db_, "UPDATE devices SET revoked = 1 WHERE id = ?").bind(text(id)).exec();
}

void SqliteRelayStore::setPasswordHash(std::int64_t accountId, const std::string& passwordHash) {
    Statement(db_, "UPDATE accounts SET password_hash = ? WHERE id = ?")
        .bind(text(passwordHash))
        .bind(QVariant::fromValue(static_cast<qint64>(accountId)))
        .exec();
}

void SqliteRelayStore::renameDevice(const std::string& id, const std::string& name) {
    Statement(db_, "UPDATE devices SET name = ? WHERE id = ?")
        .bind(text(name))
        .bind(text(id))
        .exec();
}

void SqliteRelayStore::addAudit(const Audit& a) {
    Statement(db_, "INSERT INTO audit (command_id, account_id, device_id, action, outcome, "
                   "sent_at, finished_at, assistant) VALUES (?, ?, ?, ?, ?, ?, NULL, ?)")
        .bind(text(a.commandId))
        .bind(QVariant::fromValue(static_cast<qint64>(a.accountId)))
        .bind(text(a.deviceId))
        .bind(text(a.action))
        .bind(text(a.outcome))
        .bind(millis(a.sentAt))
        .bind(text(a.assistant))
        .exec();
}

void SqliteRelayStore::finishAudit(const std::string& commandId, const std::string& outcome,
                                   Time finishedAt) {
    Statement(db_, "UPDATE audit SET outcome = ?, finished_at = ? WHERE command_id = ? "
                   "AND finished_at IS NULL")
        .bind(text(outcome))
        .bind(millis(finishedAt))
        .bind(text(commandId))
        .exec();
}

std::int64_t SqliteRelayStore::endUnfinishedAudits(const std::string& outcome, Time finishedAt) {
    QSqlQuery q = Statement(db_, "UPDATE audit SET outcome = ?, finished_at = ? "
                                 "WHERE finished_at IS NULL")
                      .bind(text(outcome))
                      .bind(millis(finishedAt))
                      .exec();
    return q.numRowsAffected();
}

void SqliteRelayStore::beginGroup() {
    // The write lock at once (waiting out the busy time-out): a deferred transaction could fail
    // halfway when another connection on the file wrote first.
    Statement(db_, "BEGIN IMMEDIATE").exec();
}

void SqliteRelayStore::markWrite() {
    Statement(db_, "SAVEPOINT grouped").exec();
}

void SqliteRelayStore::keepWrite() {
    Statement(db_, "RELEASE grouped").exec();
}

void SqliteRelayStore::undoWrite() {
    Statement(db_, "ROLLBACK TO grouped").exec();
    Statement(db_, "RELEASE grouped").exec();
}

void SqliteRelayStore::commitGroup() {
    Statement(db_, "COMMIT").exec();
}

void SqliteRelayStore::abandonGroup() noexcept {
    // Fails harmlessly when SQLite already rolled the transaction back itself.
    QSqlQuery(db_).exec(QStringLiteral("ROLLBACK"));
}

std::vector<RelayStore::Audit> SqliteRelayStore::auditOf(const std::string& deviceId, int limit) {
    QSqlQuery q = Statement(db_, "SELECT command_id, account_id, device_id, action, outcome, "
                                 "sent_at, finished_at, assistant FROM audit WHERE device_id = ? "
                                 "ORDER BY sent_at DESC, rowid DESC LIMIT ?")
                      .bind(text(deviceId))
                      .bind(limit)
                      .exec();
    std::vector<Audit> out;
    while (q.next()) {
        Audit a;
        a.commandId = str(q.value(0));
        a.accountId = q.value(1).toLongLong();
        a.deviceId = str(q.value(2));
        a.action = str(q.value(3));
        a.outcome = str(q.value(4));
        a.sentAt = fromMillis(q.value(5).toLongLong());
        if (!q.value(6).isNull()) {
            a.finishedAt = fromMillis(q.value(6).toLongLong());
        }
        a.assistant = str(q.value(7));
        out.push_back(std::move(a));
    }
    return out;
}

} // namespace corvane
