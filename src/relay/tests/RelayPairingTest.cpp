// The pairing state machine and what the database keeps of it.
#include "Finished.h"
#include "RelayBench.h"

#include "core/ContractError.h"
#include "core/Uuid.h"
#include "core/WireTime.h"
#include "relay/RelayAccounts.h"
#include "relay/RelayPasswords.h"
#include "relay/RelayRateLimit.h"

#include "relay/RelayStoreError.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>

using namespace std::chrono_literals;

namespace corvane::test {
namespace {

class PairingBench : public RelayBench {
protected:
    explicit PairingBench(StoreKind kind)
        : RelayBench(kind) {}

    JSON requestCode() { return pairing.code(codeRequest()); }

    // The reply, or the refusal's code.
    std::string redeem(const JSON& code, const std::string& token) {
        try {
            const JSON reply = pairing.redeem(*code.stringMember("bootstrap_token"),
                                              JSON(JSON::Object{{"device_token", JSON(token)}}));
            return *reply.stringMember("device_id");
        } catch (const ContractError& error) {
            return error.code();
        }
    }

    std::string approve(const std::string& typed, std::int64_t accountId) {
        try {
            return pairing.approve(typed, accountId);
        } catch (const ContractError& error) {
            return error.code();
        }
    }
};

// On either store.
class RelayPairingTest : public PairingBench, public ::testing::WithParamInterface<StoreKind> {
protected:
    RelayPairingTest()
        : PairingBench(GetParam()) {}
};

INSTANTIATE_TEST_SUITE_P(Stores, RelayPairingTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres), storeName);

// What the SQLite file holds.
class SqlitePairingTest : public PairingBench {
protected:
    SqlitePairingTest()
        : PairingBench(StoreKind::Sqlite) {}
};

TEST_P(RelayPairingTest, CodeRepliesKeepTheContract) {
    const JSON code = requestCode();
    validator.validate("PairingCodeResponse", code);
    EXPECT_TRUE(Uuid::isCanonical(*code.stringMember("device_id")));
    EXPECT_EQ(WireTime::parse(*code.stringMember("expires_at")), clock.now() + 10min);
    EXPECT_EQ(RelayPairing::normalizedCode(*code.stringMember("code")), *code.stringMember("code"));

    // The request with one member changed, or left out when `value` is empty.
    const auto with = [](const char* member, std::optional<JSON> value) {
        JSON body = codeRequest();
        body.object()->erase(member);
        if (value) {
            body.object()->emplace(member, *value);
        }
        return body;
    };
    EXPECT_NO_THROW(pairing.code(with("device_name", JSON(std::string(200, 'a')))));
    EXPECT_NO_THROW(pairing.code(with("device_name", JSON("Anna’s Büro-Mac 😀"))));
    const std::pair<const char*, JSON> refused[] = {
        {"NUL in the name", with("device_name", JSON(std::string("Studio\0x", 8)))},
        {"newline in the name", with("device_name", JSON("Studio\nApproved"))},
        {"DEL in the name", with("device_name", JSON("Studio\x7f"))},
        {"C1 control in the name", with("device_name", JSON("Studio\u0085"))},
        {"right-to-left override", with("device_name", JSON("Studio\u202Egnp"))},
        {"isolate", with("device_name", JSON("\u2067Studio"))},
        {"line separator in the version", with("agent_version", JSON("1.0\u2028"))},
        {"not an object", JSON(JSON::Array{})},
        {"no name", with("device_name", std::nullopt)},
        {"empty name", with("device_name", JSON(""))},
        {"long name", with("device_name", JSON(std::string(201, 'a')))},
        {"other kind", with("kind", JSON("pc"))},
        {"no version", with("agent_version", std::nullopt)},
    };
    for (const auto& [name, body] : refused) {
        SCOPED_TRACE(name);
        EXPECT_THROW(pairing.code(body), ContractError);
    }
}

TEST(RelayPairingRules, AddressesAreCountedByIPv4AddressAndIPv6Slash64) {
    const struct {
        const char* address;
        const char* block;
    } rows[] = {
        {"192.0.2.7", "192.0.2.7"},
        {"::ffff:192.0.2.7", "192.0.2.7"},
        {"2001:db8:1:2::1", "2001:db8:1:2::/64"},
        {"2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:db8:1:2::/64"},
        {"2001:db8:1:3::1", "2001:db8:1:3::/64"},
        {"::1", "::/64"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(RelayRateLimit::addressBlock(QHostAddress(QString::fromLatin1(row.address))),
                  row.block)
            << row.address;
    }
}

TEST_F(SqlitePairingTest, PendingCodesAreBoundedPerBlockAndInAllAndExpiredOnesGo) {
    const auto code = [&](const std::string& block) {
        try {
            return *pairing.code(codeRequest(), block).stringMember("code");
        } catch (const ContractError& error) {
            return error.code();
        }
    };
    std::vector<std::string> codes;
    for (std::int64_t i = 0; i < RelayPairing::pendingPerBlock; ++i) {
        codes.push_back(code("2001:db8:1:2::/64"));
    }
    EXPECT_EQ(code("2001:db8:1:2::/64"), "rate_limited");
    EXPECT_NE(code("2001:db8:1:3::/64"), "rate_limited");
    // An approved code no longer waits: its block may ask again.
    pairing.approve(codes.front(), account());
    EXPECT_NE(code("2001:db8:1:2::/64"), "rate_limited");

    // Many blocks together reach the bound in all (rows written at once, as that is quicker).
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
    db.setDatabaseName(dir.filePath(QStringLiteral("relay.sqlite")));
    ASSERT_TRUE(db.open());
    ASSERT_TRUE(db.transaction());
    for (std::int64_t i = store.pendingPairings(clock.now()); i < RelayPairing::pendingInAll; ++i) {
        QSqlQuery insert(db);
        insert.prepare(QStringLiteral(
            "INSERT INTO pairings (code, device_id, bootstrap_hash, device_name, expires_at, "
            "state, address_block) SELECT ?, ?, ?, 'Many', expires_at, 0, ? FROM pairings "
            "LIMIT 1"));
        const QString n = QString::number(i);
        for (const QString& value : {n, n, n, QStringLiteral("198.51.100.") + n}) {
            insert.addBindValue(value);
        }
        ASSERT_TRUE(insert.exec());
    }
    ASSERT_TRUE(db.commit());
    EXPECT_EQ(code("203.0.113.1"), "rate_limited");

    // Expired codes go, even when nobody asks for another one.
    clock.advance(RelayPairing::lifetime + 1ms);
    pairing.purgeExpired();
    QSqlQuery rows(db);
    ASSERT_TRUE(rows.exec(QStringLiteral("SELECT COUNT(*) FROM pairings")) && rows.next());
    EXPECT_EQ(rows.value(0).toInt(), 0); // approved but never redeemed goes as well
    rows = QSqlQuery();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("other"));
    EXPECT_NE(code("2001:db8:1:2::/64"), "rate_limited");
}

TEST_P(RelayPairingTest, ThePersonSeesWhichComputerAsksBeforeApproving) {
    clock.advance(90s);
    const Clock::WallTime asked = clock.now();
    const JSON code = requestCode();
    const std::string shown = *code.stringMember("code");
    clock.advance(30s);
    const RelayStore::Pairing pending = pairing.pending(shown);
    EXPECT_EQ(pending.deviceName, "Studio");
    EXPECT_EQ(pending.agentVersion, "0.1.0");
    EXPECT_EQ(pending.requestedAt, asked);
    EXPECT_EQ(pairing.pending(" " + shown.substr(0, 4) + shown.substr(5)).deviceId,
              pending.deviceId);

    pairing.approve(shown, account());
    for (const std::string& typed : {shown, std::string("ZZZZ-ZZZZ"), std::string("nonsense")}) {
        try {
            pairing.pending(typed);
            ADD_FAILURE() << typed << " was shown";
        } catch (const ContractError& error) {
            EXPECT_EQ(error.code(), "pairing_not_found");
        }
    }
}

TEST(RelayPairingRules, TypedCodesAreNormalised) {
    const struct {
        const char* typed;
        const char* code;
    } rows[] = {
        {"abcd-efgh", "ABCD-EFGH"}, {" abcd efgh ", "ABCD-EFGH"},
        {"ABCDEFGH", "ABCD-EFGH"},  {"ABCD-EFG", ""},
        {"ABCD-EFGHJ", ""},         {"ABCD-EFG0", ""},
        {"ABCD_EFGH", ""},          {"", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(RelayPairing::normalizedCode(row.typed), row.code) << row.typed;
    }
}

TEST_P(RelayPairingTest, PendingApprovedRedeemedAndTheWaysOut) {
    const std::int64_t owner = account();
    const JSON code = requestCode();
    const std::string device = *code.stringMember("device_id");
    const std::string shown = *code.stringMember("code");

    EXPECT_EQ(redeem(code, "token-1"), "pairing_pending");
    EXPECT_EQ(approve("ZZZZ-ZZZZ", owner), "pairing_not_found");
    EXPECT_EQ(approve(shown, owner), device);
    EXPECT_EQ(approve(shown, account("someone")), "pairing_expired"); // no second approval
    EXPECT_EQ(redeem(code, "bad token"), "invalid_request");          // a space is not allowed
    EXPECT_EQ(redeem(code, "token-1"), device);
    // The same device token again (a lost reply) is answered again; any other is not.
    EXPECT_EQ(redeem(code, "token-1"), device);
    EXPECT_EQ(redeem(code, "token-2"), "pairing_expired");
    const std::optional<RelayStore::Device> stored = store.device(device);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->accountId, owner);
    EXPECT_EQ(stored->name, "Studio");
    EXPECT_FALSE(stored->revoked);

    // A bootstrap token the relay never issued is an expired pairing to the computer.
    EXPECT_THROW(pairing.redeem("never-issued", JSON(JSON::Object{{"device_token", JSON("t")}})),
                 ContractError);
}

TEST_P(RelayPairingTest, ExpiryIsExactAndCancellationIsFinal) {
    const std::int64_t owner = account();
    const JSON late = requestCode();
    clock.advance(10min - 1ms);
    const JSON stillOpen = requestCode();
    EXPECT_EQ(redeem(late, "t"), "pairing_pending");
    clock.advance(1ms);
    EXPECT_EQ(redeem(late, "t"), "pairing_expired");
    EXPECT_EQ(approve(*late.stringMember("code"), owner), "pairing_expired");

    // Approved but redeemed only after expiry: too late as well.
    EXPECT_EQ(approve(*stillOpen.stringMember("code"), owner),
              *stillOpen.stringMember("device_id"));
    clock.advance(10min);
    EXPECT_EQ(redeem(stillOpen, "t"), "pairing_expired");
    EXPECT_FALSE(store.device(*stillOpen.stringMember("device_id")));

    const JSON cancelled = requestCode();
    pairing.cancel(*cancelled.stringMember("bootstrap_token"));
    EXPECT_EQ(approve(*cancelled.stringMember("code"), owner), "pairing_expired");
    EXPECT_EQ(redeem(cancelled, "t"), "pairing_expired");
    pairing.cancel("never-issued"); // nothing to cancel is not an error

    // Cancelling after redemption means the computer never kept its token: the device goes.
    const JSON redeemed = requestCode();
    approve(*redeemed.stringMember("code"), owner);
    EXPECT_EQ(redeem(redeemed, "t"), *redeemed.stringMember("device_id"));
    pairing.cancel(*redeemed.stringMember("bootstrap_token"));
    EXPECT_TRUE(store.device(*redeemed.stringMember("device_id"))->revoked);
    EXPECT_EQ(redeem(redeemed, "t"), "pairing_expired");
}

TEST_F(SqlitePairingTest, NoSecretIsStoredInPlainText) {
    const JSON code = requestCode();
    const std::string bootstrap = *code.stringMember("bootstrap_token");
    const std::string deviceToken = "device-token-kept-only-by-the-computer";
    RelayPasswords passwords;
    RelayAccounts accounts(storeThread, passwords, clock);
    const std::string password = "correct horse battery";
    const RelayAccounts::Session session =
        finished(accounts.setUp(accounts.setupToken(), "owner", password));
    pairing.approve(*code.stringMember("code"), session.accountId);
    ASSERT_EQ(redeem(code, deviceToken), *code.stringMember("device_id"));

    // Everything SQLite wrote: the main file and its write-ahead log.
    QByteArray written;
    for (const QString& name :
         {QStringLiteral("relay.sqlite"), QStringLiteral("relay.sqlite-wal")}) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly)) {
            written += file.readAll();
        }
    }
    ASSERT_FALSE(written.isEmpty());
    for (const std::string& secret :
         {bootstrap, deviceToken, password, session.token, session.csrf}) {
        EXPECT_FALSE(written.contains(QByteArray::fromStdString(secret))) << secret;
    }
    EXPECT_TRUE(written.contains("$argon2id$"));
}

TEST_F(SqlitePairingTest, TheDatabaseIsMigratedOnceAndKeptAcrossOpenings) {
    const std::int64_t owner = account();
    const Paired mac = pair(owner);
    SqliteRelayStore again(dir.filePath(QStringLiteral("relay.sqlite")));
    EXPECT_EQ(again.device(mac.deviceId)->accountId, owner);
    EXPECT_EQ(again.accountCount(), 1);

    // A file from a newer relay is refused rather than misread.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("t"));
        db.setDatabaseName(dir.filePath(QStringLiteral("newer.sqlite")));
        ASSERT_TRUE(db.open());
        QSqlQuery(db).exec(
            QStringLiteral("PRAGMA user_version = %1").arg(SqliteRelayStore::schemaVersion() + 1));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("t"));
    EXPECT_THROW(SqliteRelayStore(dir.filePath(QStringLiteral("newer.sqlite"))), RelayStoreError);
}

} // namespace
} // namespace corvane::test
