#pragma once

// The keychain store's behaviour, written once against any Keychain backend: the in-memory fake
// (KeychainStoreTest.cpp) and the real Secret Service (linuxdesktop/tests) instantiate it.

#include "actions/KeychainStore.h"
#include "core/ContractError.h"
#include "core/JSON.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace corvane::keychain_suite {

// Items in memory, keyed by service and account; a second add of the same item fails like a
// duplicate does on a real keychain.
class MemoryKeychain final : public Keychain {
public:
    Status copy(const Query& query, std::string& secret) override {
        const std::lock_guard lock(mutex_);
        const auto it = items_.find({query.service, query.account});
        if (it == items_.end()) {
            return Status::NotFound;
        }
        secret = it->second;
        return Status::Success;
    }
    Status update(const Query& query, const std::string& secret) override {
        const std::lock_guard lock(mutex_);
        const auto it = items_.find({query.service, query.account});
        if (it == items_.end()) {
            return Status::NotFound;
        }
        it->second = secret;
        return Status::Success;
    }
    Status add(const Query& query, const std::string& secret) override {
        const std::lock_guard lock(mutex_);
        return items_.emplace(std::pair{query.service, query.account}, secret).second
                   ? Status::Success
                   : Status::Other;
    }
    Status remove(const Query& query) override {
        const std::lock_guard lock(mutex_);
        return items_.erase({query.service, query.account}) > 0 ? Status::Success
                                                                : Status::NotFound;
    }

private:
    std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, std::string> items_;
};

// Passes every call on to a backend, counting calls, noting whether a prompt was allowed, and
// failing chosen calls on demand. Yields after each call so that unserialised read-modify-write
// cycles on two threads would interleave.
class RecordingKeychain final : public Keychain {
public:
    enum class Operation { Copy, Update, Add, Remove };

    explicit RecordingKeychain(Keychain& inner)
        : inner_(inner) {}

    // Makes `operation` answer `status` (without reaching the backend), for one account or, when
    // `account` is empty, for all.
    void fail(Operation operation, Status status, std::string account = {}) {
        const std::lock_guard lock(mutex_);
        failures_.push_back({operation, std::move(account), status});
    }
    void heal() {
        const std::lock_guard lock(mutex_);
        failures_.clear();
    }
    void resetCounts() {
        copies = updates = adds = removes = 0;
        const std::lock_guard lock(mutex_);
        interactionChoices_.clear();
    }
    int writes() const { return updates + adds; }
    std::vector<bool> interactionChoices() const {
        const std::lock_guard lock(mutex_);
        return interactionChoices_;
    }

    Status copy(const Query& query, std::string& secret) override {
        ++copies;
        return pass(Operation::Copy, query, [&] { return inner_.copy(query, secret); });
    }
    Status update(const Query& query, const std::string& secret) override {
        ++updates;
        return pass(Operation::Update, query, [&] { return inner_.update(query, secret); });
    }
    Status add(const Query& query, const std::string& secret) override {
        ++adds;
        return pass(Operation::Add, query, [&] { return inner_.add(query, secret); });
    }
    Status remove(const Query& query) override {
        ++removes;
        return pass(Operation::Remove, query, [&] { return inner_.remove(query); });
    }

    std::atomic<int> copies = 0;
    std::atomic<int> updates = 0;
    std::atomic<int> adds = 0;
    std::atomic<int> removes = 0;

private:
    struct Failure {
        Operation operation;
        std::string account;
        Status status;
    };

    Status pass(Operation operation, const Query& query, const std::function<Status()>& call) {
        std::optional<Status> injected;
        {
            const std::lock_guard lock(mutex_);
            interactionChoices_.push_back(query.allowInteraction);
            for (const Failure& failure : failures_) {
                if (failure.operation == operation &&
                    (failure.account.empty() || failure.account == query.account)) {
                    injected = failure.status;
                }
            }
        }
        const Status status = injected ? *injected : call();
        std::this_thread::yield();
        return status;
    }

    Keychain& inner_;
    mutable std::mutex mutex_;
    std::vector<Failure> failures_;
    std::vector<bool> interactionChoices_;
};

struct KeychainBackend {
    std::string name;
    // A fresh keychain, or null with the reason set when the backend cannot run here.
    std::function<std::unique_ptr<Keychain>(std::string& skipReason)> make;
    // Writes per thread in the concurrency case (a real keychain is slow).
    int concurrentWrites = 100;
};

inline void PrintTo(const KeychainBackend& backend, std::ostream* out) {
    *out << backend.name;
}

inline std::string backendName(const ::testing::TestParamInfo<KeychainBackend>& info) {
    return info.param.name;
}

using Op = RecordingKeychain::Operation;
using Status = Keychain::Status;

constexpr const char* vaultAccount = "credentials";

class KeychainStoreSuite : public ::testing::TestWithParam<KeychainBackend> {
protected:
    void SetUp() override {
        std::string reason;
        backend_ = GetParam().make(reason);
        if (!backend_) {
            GTEST_SKIP() << reason;
        }
        keychain_ = std::make_unique<RecordingKeychain>(*backend_);
        // A service of its own per test, so that items on a shared real keychain never meet.
        service_ = "local.corvane.test." + KeychainStore::randomToken().substr(0, 16);
    }

    void TearDown() override {
        if (!backend_) {
            return;
        }
        for (const char* account :
             {KeychainStore::deviceToken, KeychainStore::localAPIToken,
              KeychainStore::bootstrapToken, KeychainStore::pendingDeviceToken, "other-account"}) {
            backend_->remove({service_, account, false});
        }
        backend_->remove({KeychainStore::vaultService(service_), vaultAccount, false});
    }

    KeychainStore store(bool allowInteraction = false) {
        return KeychainStore(*keychain_, service_, allowInteraction);
    }

    // Direct access to the items, past the recording layer.
    void putItem(const std::string& service, const std::string& account, const std::string& value) {
        if (backend_->update({service, account, false}, value) == Status::NotFound) {
            ASSERT_EQ(backend_->add({service, account, false}, value), Status::Success);
        }
    }
    std::optional<std::string> item(const std::string& service, const std::string& account) {
        std::string value;
        const Status status = backend_->copy({service, account, false}, value);
        EXPECT_TRUE(status == Status::Success || status == Status::NotFound);
        return status == Status::Success ? std::optional(value) : std::nullopt;
    }
    void putLegacy(const std::string& account, const std::string& value) {
        putItem(service_, account, value);
    }
    std::optional<std::string> legacy(const std::string& account) {
        return item(service_, account);
    }
    void putVaultText(const std::string& text) {
        putItem(KeychainStore::vaultService(service_), vaultAccount, text);
    }
    std::optional<std::string> vaultText() {
        return item(KeychainStore::vaultService(service_), vaultAccount);
    }
    // The vault's members, compared as a dictionary (its text's layout is free).
    std::optional<JSON> vault() {
        const std::optional<std::string> text = vaultText();
        return text ? std::optional(JSON::parse(*text)) : std::nullopt;
    }

    std::unique_ptr<Keychain> backend_;
    std::unique_ptr<RecordingKeychain> keychain_;
    std::string service_;
};

// Runs `call` and returns the code of the ContractError it throws ("" when it does not throw).
template <typename F>
std::string codeOf(F&& call) {
    try {
        call();
    } catch (const ContractError& error) {
        return error.code();
    }
    return {};
}

TEST_P(KeychainStoreSuite, MigratesOlderItemsOnceAndKeepsThem) {
    putLegacy("device-token", "device-secret");
    putLegacy("local-api-token", "local-secret");
    putLegacy("bootstrap-token", "bootstrap-secret");
    putLegacy("pending-device-token", "pending-secret");
    putLegacy("other-account", "not a connection secret");

    const ConnectionCredentials first = store().connectionCredentials();
    EXPECT_EQ(first.device, "device-secret");
    EXPECT_EQ(first.local, "local-secret");
    EXPECT_TRUE(first.hasBootstrap);
    EXPECT_EQ(vault(), JSON(JSON::Object{{"device-token", JSON("device-secret")},
                                         {"local-api-token", JSON("local-secret")},
                                         {"bootstrap-token", JSON("bootstrap-secret")},
                                         {"pending-device-token", JSON("pending-secret")}}));
    EXPECT_EQ(legacy("device-token"), "device-secret");
    EXPECT_EQ(legacy("pending-device-token"), "pending-secret");

    // After the first save only the vault counts: a later older item changes nothing.
    putLegacy("device-token", "stale");
    keychain_->resetCounts();
    const ConnectionCredentials second = store().connectionCredentials();
    EXPECT_EQ(second.device, "device-secret");
    EXPECT_EQ(second.local, first.local);
    EXPECT_EQ(keychain_->writes(), 0);
    EXPECT_EQ(keychain_->copies, 1) << "only the vault is read";
}

TEST_P(KeychainStoreSuite, InvalidVaultTextIsReportedAndNeverOverwritten) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"not json", "keychain_credentials_invalid"},
        {"", "keychain_credentials_invalid"},
        {"[\"local-api-token\"]", "keychain_credentials_invalid"},
        {"\"local-api-token\"", "keychain_credentials_invalid"},
        {"{\"local-api-token\":5}", "keychain_credentials_invalid"},
        {"{\"local-api-token\":\"x\",\"device-token\":null}", "keychain_credentials_invalid"},
        {"{\"local-api-token\":{}}", "keychain_credentials_invalid"},
        {"{\"local-api-token\":\"x\"", "keychain_credentials_invalid"},
        {"{\"local-api-token\":\"\xff\"}", "keychain_read_failed"},
    };
    for (const auto& [text, code] : cases) {
        SCOPED_TRACE(text);
        putVaultText(text);
        putLegacy("device-token", "device-secret");
        keychain_->resetCounts();

        EXPECT_EQ(codeOf([&] { store().connectionCredentials(); }), code);
        EXPECT_EQ(codeOf([&] { store().read("device-token"); }), code);
        EXPECT_EQ(codeOf([&] { store().write("value", "device-token"); }), code);
        EXPECT_EQ(codeOf([&] { store().remove("device-token"); }), code);

        EXPECT_EQ(keychain_->writes(), 0);
        EXPECT_EQ(keychain_->removes, 0);
        EXPECT_EQ(vaultText(), text);
        EXPECT_EQ(legacy("device-token"), "device-secret");
    }
}

TEST_P(KeychainStoreSuite, FirstStartCreatesTheVaultAndUnchangedValuesWriteNothing) {
    const ConnectionCredentials first = store().connectionCredentials();
    EXPECT_FALSE(first.device.has_value());
    EXPECT_FALSE(first.hasBootstrap);
    EXPECT_EQ(first.local.size(), 43u);
    EXPECT_EQ(vault(), JSON(JSON::Object{{"local-api-token", JSON(first.local)}}));
    EXPECT_FALSE(legacy("local-api-token").has_value()) << "the older layout is never written";

    store().write("device-secret", "device-token");
    keychain_->resetCounts();

    EXPECT_EQ(store().connectionCredentials().local, first.local);
    store().write("device-secret", "device-token");
    store().remove("bootstrap-token");

    EXPECT_EQ(keychain_->writes(), 0);
}

TEST_P(KeychainStoreSuite, WithoutAVaultSecretsLiveInOlderItems) {
    store().write("bootstrap-secret", "bootstrap-token");
    EXPECT_EQ(legacy("bootstrap-token"), "bootstrap-secret");
    EXPECT_FALSE(vaultText().has_value());
    EXPECT_EQ(store().read("bootstrap-token"), "bootstrap-secret");

    store().write("bootstrap-replaced", "bootstrap-token"); // update of an existing item
    EXPECT_EQ(store().read("bootstrap-token"), "bootstrap-replaced");

    store().remove("bootstrap-token");
    EXPECT_FALSE(store().read("bootstrap-token").has_value());
    EXPECT_NO_THROW(store().remove("bootstrap-token")) << "absent is fine";
}

TEST_P(KeychainStoreSuite, WithAVaultEveryOperationUsesIt) {
    const ConnectionCredentials credentials = store().connectionCredentials();
    putLegacy("pending-device-token", "only in the older layout");

    EXPECT_FALSE(store().read("pending-device-token").has_value());
    EXPECT_EQ(store().read("local-api-token"), credentials.local);

    store().write("device-secret", "device-token");
    EXPECT_EQ(store().read("device-token"), "device-secret");
    EXPECT_FALSE(legacy("device-token").has_value());
    EXPECT_EQ(store().connectionCredentials().device, "device-secret");

    putLegacy("device-token", "older copy");
    store().remove("device-token");
    EXPECT_FALSE(store().read("device-token").has_value());
    EXPECT_FALSE(legacy("device-token").has_value()) << "the older item goes too";
    EXPECT_NO_THROW(store().remove("device-token")) << "a vault without the member";
    EXPECT_EQ(vault(), JSON(JSON::Object{{"local-api-token", JSON(credentials.local)}}));
}

TEST_P(KeychainStoreSuite, KeychainFailuresBecomeTheirCodes) {
    struct Case {
        const char* name;
        Op operation;
        Status status;
        std::string account; // empty: every account
        bool withVault;
        std::function<void(KeychainStore&)> call;
        const char* code;
    };
    const auto credentials = [](KeychainStore& s) {
        s.connectionCredentials();
    };
    const std::vector<Case> cases{
        {"read fails", Op::Copy, Status::Other, "", false, credentials, "keychain_read_failed"},
        {"read would prompt", Op::Copy, Status::InteractionNotAllowed, "", true, credentials,
         "keychain_read_failed"},
        {"one older item unreadable", Op::Copy, Status::Other, "bootstrap-token", false,
         credentials, "keychain_read_failed"},
        {"vault cannot be added", Op::Add, Status::Other, "", false, credentials,
         "keychain_write_failed"},
        {"vault cannot be updated", Op::Update, Status::Other, "", true,
         [](KeychainStore& s) { s.write("v", "device-token"); }, "keychain_write_failed"},
        {"older item cannot be written", Op::Add, Status::InteractionNotAllowed, "", false,
         [](KeychainStore& s) { s.write("v", "device-token"); }, "keychain_write_failed"},
        {"delete fails", Op::Remove, Status::Other, "", false,
         [](KeychainStore& s) { s.remove("device-token"); }, "keychain_delete_failed"},
        {"delete would prompt", Op::Remove, Status::InteractionNotAllowed, "", true,
         [](KeychainStore& s) { s.remove("device-token"); }, "keychain_delete_failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        putLegacy("bootstrap-token", "bootstrap-secret");
        if (c.withVault) {
            store().connectionCredentials();
        }
        const std::optional<std::string> vaultBefore = vaultText();

        keychain_->fail(c.operation, c.status, c.account);
        KeychainStore failing = store();
        EXPECT_EQ(codeOf([&] { c.call(failing); }), c.code);
        keychain_->heal();

        EXPECT_EQ(vaultText(), vaultBefore) << "no partial vault";
        EXPECT_EQ(codeOf([&] { c.call(failing); }), "") << "works again once the keychain does";
    }
}

TEST_P(KeychainStoreSuite, EveryAccessCarriesTheInteractionChoice) {
    for (const bool allowed : {false, true}) {
        SCOPED_TRACE(allowed);
        TearDown();
        keychain_->resetCounts();
        putLegacy("device-token", "device-secret");
        KeychainStore s = store(allowed);
        s.connectionCredentials();
        s.write("v", "bootstrap-token");
        s.read("bootstrap-token");
        s.remove("bootstrap-token");

        const std::vector<bool> choices = keychain_->interactionChoices();
        EXPECT_GT(choices.size(), 8u);
        EXPECT_EQ(std::count(choices.begin(), choices.end(), allowed),
                  static_cast<std::ptrdiff_t>(choices.size()));
    }
}

TEST_P(KeychainStoreSuite, ValuesThatAreNotTextAreRefusedBeforeAnyAccess) {
    store().connectionCredentials();
    keychain_->resetCounts();
    EXPECT_EQ(codeOf([&] { store().write("\xc3\x28", "device-token"); }), "keychain_write_failed");
    EXPECT_EQ(keychain_->copies + keychain_->writes(), 0);

    TearDown();                                // no vault: the older item is read
    putLegacy("device-token", "\xed\xa0\x80"); // an encoded surrogate is not UTF-8
    EXPECT_EQ(codeOf([&] { store().read("device-token"); }), "keychain_read_failed");
}

TEST_P(KeychainStoreSuite, ConcurrentStoresOverOneKeychainLoseNoWrite) {
    const std::string local = store().connectionCredentials().local;
    const int writes = GetParam().concurrentWrites;

    const auto writer = [&](const std::string& prefix) {
        KeychainStore s = store();
        for (int i = 0; i < writes; ++i) {
            s.write("value", prefix + std::to_string(i));
        }
    };
    std::thread first(writer, "first-");
    std::thread second(writer, "second-");
    // Meanwhile the credential load runs on this thread, as it does on its worker thread.
    for (int i = 0; i < writes / 4; ++i) {
        EXPECT_EQ(store().connectionCredentials().local, local);
    }
    first.join();
    second.join();

    const std::optional<JSON> result = vault();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->object()->size(), static_cast<std::size_t>(2 * writes + 1));
    for (int i = 0; i < writes; ++i) {
        EXPECT_NE(result->find("first-" + std::to_string(i)), nullptr) << i;
        EXPECT_NE(result->find("second-" + std::to_string(i)), nullptr) << i;
    }
}

} // namespace corvane::keychain_suite
