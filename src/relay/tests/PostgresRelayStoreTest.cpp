// The shared store on a real PostgreSQL: several relays on one database, its schema, a server
// that dies under it, and addresses it cannot use.
#include "PostgresServer.h"

#include "relay/PostgresOAuthStore.h"
#include "relay/PostgresRelayStore.h"
#include "relay/RelayStoreError.h"
#include "relay/SqliteRelayStore.h"

#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <barrier>
#include <functional>
#include <thread>

using namespace std::chrono_literals;

namespace corvane::test {
namespace {

class PostgresRelayStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        server = PostgresServer::shared(why);
        if (server == nullptr) {
            if (PostgresServer::required()) {
                FAIL() << why;
            }
            GTEST_SKIP() << why;
        }
        database = server->createDatabase();
        address = server->address(database);
    }

    PostgresServer* server = nullptr;
    std::string database;
    std::string address;
    const RelayStore::Time t0 = RelayStore::Time(1'700'000'000'000ms);
};

TEST_F(PostgresRelayStoreTest, RelaysStartingTogetherMigrateOnceAndANewerSchemaIsRefused) {
    ASSERT_EQ(PostgresRelayStore::schemaVersion(), SqliteRelayStore::schemaVersion());
    std::atomic<int> failed = 0;
    {
        std::vector<std::jthread> relays;
        for (int i = 0; i < 4; ++i) {
            relays.emplace_back([&] {
                try {
                    PostgresRelayStore store(address);
                } catch (const RelayStoreError& error) {
                    ++failed;
                    ADD_FAILURE() << error.what();
                }
            });
        }
    }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(server->run(database, "SELECT version FROM relay_schema"),
              std::to_string(PostgresRelayStore::schemaVersion()));

    // What one relay wrote, the next one opening the database reads.
    EXPECT_TRUE(PostgresRelayStore(address).createAccount("owner", "$argon2id$test"));
    EXPECT_EQ(PostgresRelayStore(address).accountCount(), 1);

    const int newer = PostgresRelayStore::schemaVersion() + 1;
    server->run(database, "UPDATE relay_schema SET version = " + std::to_string(newer));
    try {
        PostgresRelayStore store(address);
        ADD_FAILURE() << "a newer schema was used";
    } catch (const RelayStoreError& error) {
        EXPECT_EQ(std::string(error.what()), "relay database: written by a newer relay (schema " +
                                                 std::to_string(newer) + ")");
    }
}

TEST_F(PostgresRelayStoreTest, TwoRelaysNeverBothTakeApproveOrRedeemOneCode) {
    constexpr int codes = 40;
    PostgresRelayStore first(address);
    PostgresRelayStore second(address);
    const std::int64_t owner = *first.createAccount("owner", "$argon2id$test");
    std::vector<RelayStore::Pairing> pairings;
    for (int i = 0; i < codes; ++i) {
        const std::string n = std::to_string(i);
        RelayStore::Pairing pairing;
        pairing.code = "CODE-" + n;
        pairing.deviceId = "device-" + n;
        pairing.bootstrapHash = "bootstrap-" + n;
        pairing.expiresAt = t0 + 10min;
        pairings.push_back(pairing);
    }

    // Each relay tries every step on every code in the same order, one step at a time: which
    // steps it won, per code (insert, approve, redeem).
    using Wins = std::vector<std::array<bool, 3>>;
    std::barrier step(2);
    const auto relay = [&](RelayStore& store, Wins& wins) {
        wins.assign(codes, {false, false, false});
        try {
            for (int i = 0; i < codes; ++i) {
                wins[i][0] = store.addPairing(pairings[i]);
            }
            step.arrive_and_wait();
            for (int i = 0; i < codes; ++i) {
                wins[i][1] = store.approvePairing(pairings[i].code, owner, t0);
            }
            step.arrive_and_wait();
            for (int i = 0; i < codes; ++i) {
                wins[i][2] = store.redeemPairing(pairings[i].bootstrapHash, "token", t0);
            }
        } catch (const RelayStoreError& error) {
            ADD_FAILURE() << error.what();
        }
    };
    Wins firstWins;
    Wins secondWins;
    {
        std::jthread other([&] { relay(second, secondWins); });
        relay(first, firstWins);
    }
    for (int i = 0; i < codes; ++i) {
        SCOPED_TRACE(i);
        for (int s = 0; s < 3; ++s) {
            EXPECT_NE(firstWins[i][s], secondWins[i][s]) << "step " << s;
        }
    }
    EXPECT_EQ(first.devicesOf(owner).size(), static_cast<std::size_t>(codes));
}

TEST_F(PostgresRelayStoreTest, TwoRelaysNeverBothExchangeOneCodeOrRotateOneRefreshToken) {
    constexpr int rounds = 40;
    const std::int64_t owner = *PostgresRelayStore(address).createAccount("owner", "$argon2id$x");
    PostgresOAuthStore first(address);
    PostgresOAuthStore second(address);
    first.addClient({"assistant", "Assistant", {"https://a.example/cb"}, t0});
    const auto refreshToken = [&](const std::string& hash, const std::string& grant) {
        return OAuthStore::Token{hash, grant, OAuthStore::TokenKind::Refresh, t0 + 1h};
    };
    for (int i = 0; i < rounds; ++i) {
        const std::string n = std::to_string(i);
        first.addCode({"code-" + n, "assistant", "https://a.example/cb", "challenge",
                       "https://relay.example/mcp", "device", owner, t0 + 1min});
        first.addGrant({"grant-" + n, "assistant", "", owner, "device", "https://relay.example/mcp",
                        t0, std::nullopt},
                       {refreshToken("refresh-" + n, "grant-" + n)});
    }

    // Both relays exchange every code, then rotate every refresh token, in the same order and
    // at the same moment: which of them won each.
    using Wins = std::vector<std::array<bool, 2>>;
    std::barrier step(2);
    const auto relay = [&](OAuthStore& store, const std::string& name, Wins& wins) {
        wins.assign(rounds, {false, false});
        try {
            for (int i = 0; i < rounds; ++i) {
                wins[i][0] = store.takeCode("code-" + std::to_string(i), name).has_value();
            }
            step.arrive_and_wait();
            for (int i = 0; i < rounds; ++i) {
                const std::string n = std::to_string(i);
                wins[i][1] = store.rotate(
                    "refresh-" + n, {refreshToken("refresh-" + n + "-" + name, "grant-" + n)});
            }
        } catch (const RelayStoreError& error) {
            ADD_FAILURE() << error.what();
        }
    };
    Wins firstWins;
    Wins secondWins;
    {
        std::jthread other([&] { relay(second, "second", secondWins); });
        relay(first, "first", firstWins);
    }
    for (int i = 0; i < rounds; ++i) {
        SCOPED_TRACE(i);
        const std::string n = std::to_string(i);
        const std::string winner = firstWins[i][0] ? "first" : "second";
        EXPECT_NE(firstWins[i][0], secondWins[i][0]);
        EXPECT_EQ(first.usedCodeGrant("code-" + n), winner);
        // Only the winner's new refresh token exists; the loser added nothing.
        EXPECT_NE(firstWins[i][1], secondWins[i][1]);
        const std::string rotated = firstWins[i][1] ? "first" : "second";
        const std::string lost = firstWins[i][1] ? "second" : "first";
        EXPECT_TRUE(first.token("refresh-" + n + "-" + rotated));
        EXPECT_FALSE(first.token("refresh-" + n + "-" + lost));
        EXPECT_EQ(second.spentRefreshGrant("refresh-" + n), "grant-" + n);
    }
}

TEST_F(PostgresRelayStoreTest, AServerKilledMidUseFailsTheCallAndTheStoreReconnects) {
    std::string why;
    const std::unique_ptr<PostgresServer> own = PostgresServer::start(why);
    ASSERT_TRUE(own) << why;
    const std::string database = own->address(own->createDatabase());
    PostgresRelayStore store(database);
    PostgresOAuthStore oauth(database);
    store.createAccount("owner", "$argon2id$test");
    oauth.addClient({"assistant", "Assistant", {"https://a.example/cb"}, t0});

    own->kill();
    for (int call = 0; call < 2; ++call) { // the lost connection, then a failed reconnect
        SCOPED_TRACE(call);
        for (const std::function<void()>& use :
             std::vector<std::function<void()>>{[&] { store.accountCount(); },
                                                [&] {
                                                    oauth.client("assistant");
                                                }}) {
            try {
                use();
                ADD_FAILURE() << "answered without a server";
            } catch (const RelayStoreError& error) {
                EXPECT_EQ(std::string(error.what()).rfind("relay database: ", 0), 0u)
                    << error.what();
            }
        }
    }
    ASSERT_TRUE(own->restart());
    EXPECT_EQ(store.accountCount(), 1);
    EXPECT_TRUE(store.createAccount("second", "$argon2id$test"));
    EXPECT_TRUE(oauth.client("assistant"));
}

TEST_F(PostgresRelayStoreTest, AddressesItCannotUseAreRefusedWithoutRepeatingThem) {
    EXPECT_TRUE(PostgresRelayStore::readableAddress(address));
    const struct {
        const char* name;
        std::string address;
        bool readable;
    } rows[] = {
        {"no server there", "postgresql://velto:pw-8d1f7a@/relay?host=/nonexistent/velto", true},
        {"bad escape", "postgresql://velto:pw-8d1f7a@%zz/relay", false},
        {"unknown parameter", "postgresql://velto:pw-8d1f7a@/relay?colour=pw-8d1f7a", false},
        {"no such database", server->address("missing"), true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(PostgresRelayStore::readableAddress(row.address), row.readable);
        try {
            PostgresRelayStore store(row.address);
            ADD_FAILURE() << "connected";
        } catch (const RelayStoreError& error) {
            EXPECT_EQ(std::string(error.what()).find("pw-8d1f7a"), std::string::npos)
                << error.what();
        }
    }
}

TEST_F(PostgresRelayStoreTest, TheRelayProgramTakesTheDatabaseFromItsOptionOrEnvironment) {
    QTemporaryDir home;
    const struct {
        const char* name;
        std::string option;
        std::string environment;
        int exitCode; // -1: it starts
        const char* says;
    } rows[] = {
        {"option", address, "", -1, "listening on"},
        {"environment", "", address, -1, "listening on"},
        {"not PostgreSQL", "/var/lib/relay.db", "", 2, "--database takes a postgresql://"},
        {"unreadable", "postgresql://velto:pw-8d1f7a@%zz/relay", "", 2, "--database takes"},
        {"no server there", "", "postgresql://velto:pw-8d1f7a@/relay?host=/nonexistent/velto", 1,
         "relay: relay database: connect: "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString folder = home.filePath(QString::fromLatin1(row.name));
        QStringList arguments{QStringLiteral("--data"), folder, QStringLiteral("--port"),
                              QStringLiteral("0")};
        if (!row.option.empty()) {
            arguments << QStringLiteral("--database") << QString::fromStdString(row.option);
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VELTO_RELAY_DATABASE"),
                           QString::fromStdString(row.environment));
        QProcess relay;
        relay.setProcessEnvironment(environment);
        relay.setProcessChannelMode(QProcess::MergedChannels);
        relay.start(QStringLiteral(VELTO_RELAY_PROGRAM), arguments);
        ASSERT_TRUE(relay.waitForStarted(10000));
        QByteArray out;
        while (!out.contains("listening on") && relay.waitForReadyRead(30000)) {
            out += relay.readAll();
        }
        if (row.exitCode < 0) {
            relay.kill();
        }
        relay.waitForFinished(10000);
        out += relay.readAll();
        EXPECT_TRUE(out.contains(row.says)) << out.toStdString();
        EXPECT_FALSE(out.contains("pw-8d1f7a")) << out.toStdString();
        if (row.exitCode >= 0) {
            EXPECT_EQ(relay.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(relay.exitCode(), row.exitCode);
        } else {
            EXPECT_FALSE(QFileInfo::exists(folder + QStringLiteral("/relay.sqlite")));
        }
    }
}

} // namespace
} // namespace corvane::test
