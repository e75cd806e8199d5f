#pragma once

#include "DeviceMessages.h"
#include "PostgresServer.h"
#include "core/ContractValidator.h"
#include "core/Envelope.h"
#include "core/JSON.h"
#include "relay/BlockingRelayStore.h"
#include "relay/DeviceHub.h"
#include "relay/DeviceLink.h"
#include "relay/PostgresRelayStore.h"
#include "relay/RelayPairing.h"
#include "relay/RelayStoreThread.h"
#include "relay/SqliteRelayStore.h"
#include "support/VirtualClock.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace corvane::test {

// A link that records what the hub sent and how it closed.
class RecordingLink final : public DeviceLink {
public:
    void sendText(const std::string& text) override { sent.push_back(JSON::parse(text)); }
    void close(int code) override { closedWith = code; }

    std::vector<std::string> types() const {
        std::vector<std::string> out;
        for (const JSON& message : sent) {
            out.push_back(*message.stringMember("type"));
        }
        return out;
    }

    std::vector<JSON> sent;
    std::optional<int> closedWith;
};

// The store a bench runs on: SQLite in its temporary folder, or a fresh database on the test
// process's PostgreSQL.
enum class StoreKind { Sqlite, Postgres };

inline std::string storeName(const ::testing::TestParamInfo<StoreKind>& info) {
    return info.param == StoreKind::Sqlite ? "SQLite" : "PostgreSQL";
}

inline void PrintTo(StoreKind kind, std::ostream* out) {
    *out << (kind == StoreKind::Sqlite ? "SQLite" : "PostgreSQL");
}

// A store on its thread, virtual time, the real contract, and the pairing and hub on them.
class RelayBench : public ::testing::Test {
protected:
    struct Paired {
        std::string deviceId;
        std::string token;
    };

    explicit RelayBench(StoreKind kind = StoreKind::Sqlite)
        : storeThread(opener(kind))
        , store(storeThread)
        , validator(QStringLiteral(CORVANE_SCHEMA_PATH))
        , pairing(store, clock, validator)
        , hub(store, clock, validator) {}

    std::int64_t account(const std::string& name = "owner") {
        if (const auto existing = store.accountByName(name)) {
            return existing->id;
        }
        return *store.createAccount(name, "$argon2id$test");
    }

    // A computer paired through the whole exchange, for `accountId`.
    Paired pair(std::int64_t accountId) {
        const JSON code = pairing.code(codeRequest());
        pairing.approve(*code.stringMember("code"), accountId);
        const std::string token = "device-token-" + *code.stringMember("device_id");
        pairing.redeem(*code.stringMember("bootstrap_token"),
                       JSON(JSON::Object{{"device_token", JSON(token)}}));
        return {*code.stringMember("device_id"), token};
    }

    // Opens a session for `deviceId` and says hello with `token`.
    std::uint64_t connect(RecordingLink& link, const std::string& deviceId,
                          const std::string& token) {
        const std::uint64_t session = hub.open(link, deviceId);
        hub.received(session, helloWith(token).data());
        return session;
    }

    void say(std::uint64_t session, const JSON& message) { hub.received(session, message.data()); }

    // A bench on PostgreSQL without a server is skipped (failed on CI, which installs it).
    void SetUp() override {
        if (!unavailable.empty()) {
            if (PostgresServer::required()) {
                FAIL() << unavailable;
            }
            GTEST_SKIP() << unavailable;
        }
    }

    QTemporaryDir dir;
    std::string unavailable;
    RelayStoreThread storeThread;
    BlockingRelayStore store; // the same store, called from the test's thread
    VirtualClock clock;
    ContractValidator validator;
    RelayPairing pairing;
    DeviceHub hub;

private:
    // Opens the store on its thread; the server and database are made here.
    RelayStoreThread::Opener opener(StoreKind kind) {
        if (kind == StoreKind::Postgres) {
            if (PostgresServer* server = PostgresServer::shared(unavailable)) {
                return [address = server->address(server->createDatabase())] {
                    return std::unique_ptr<RelayStore>(
                        std::make_unique<PostgresRelayStore>(address));
                };
            }
        }
        // Also the stand-in while a bench without PostgreSQL is skipped.
        return [path = dir.filePath(QStringLiteral("relay.sqlite"))] {
            return std::unique_ptr<RelayStore>(std::make_unique<SqliteRelayStore>(path));
        };
    }
};

} // namespace corvane::test
