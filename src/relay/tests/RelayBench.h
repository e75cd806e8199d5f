#pragma once

#include "DeviceMessages.h"
#include "core/ContractValidator.h"
#include "core/Envelope.h"
#include "core/JSON.h"
#include "relay/BlockingRelayStore.h"
#include "relay/DeviceHub.h"
#include "relay/DeviceLink.h"
#include "relay/RelayPairing.h"
#include "relay/RelayStoreThread.h"
#include "relay/SqliteRelayStore.h"
#include "support/VirtualClock.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
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

// A store in a temporary folder on its thread, virtual time, the real contract, and the pairing and
// hub on them.
class RelayBench : public ::testing::Test {
protected:
    struct Paired {
        std::string deviceId;
        std::string token;
    };

    RelayBench()
        : storeThread([path = dir.filePath(QStringLiteral("relay.sqlite"))] {
            return std::make_unique<SqliteRelayStore>(path);
        })
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

    QTemporaryDir dir;
    RelayStoreThread storeThread;
    BlockingRelayStore store; // the same store, called from the test's thread
    VirtualClock clock;
    ContractValidator validator;
    RelayPairing pairing;
    DeviceHub hub;
};

} // namespace corvane::test
