#include "KeychainStoreSuite.h"

#include <set>

namespace corvane {
namespace {

using keychain_suite::codeOf;
using keychain_suite::KeychainStoreSuite;
using Vault = KeychainStore::Vault;

INSTANTIATE_TEST_SUITE_P(Memory, KeychainStoreSuite,
                         ::testing::Values(keychain_suite::KeychainBackend{
                             "InMemory",
                             [](std::string&) -> std::unique_ptr<Keychain> {
                                 return std::make_unique<keychain_suite::MemoryKeychain>();
                             },
                             60}),
                         keychain_suite::backendName);

// The migration logic alone, with its saves recorded.
struct Effects {
    std::optional<Vault> stored;
    std::map<std::string, std::string> legacy;
    std::vector<Vault> saves;
    std::function<std::string()> generate = [] {
        return std::string("generated-token");
    };

    ConnectionCredentials run() {
        return KeychainStore::prepareConnection(
            [this] { return stored; },
            [this](const std::string& account) -> std::optional<std::string> {
                const auto it = legacy.find(account);
                return it == legacy.end() ? std::nullopt : std::optional(it->second);
            },
            [this](const Vault& vault) { saves.push_back(vault); }, generate);
    }
};

TEST(KeychainStorePrepareConnection, SavesWhenCompletedAndSummarises) {
    struct Case {
        const char* name;
        Vault stored;
        std::optional<Vault> saved; // absent: no save
        ConnectionCredentials expected;
    };
    const std::vector<Case> cases{
        {"vault lacks the local token",
         Vault{{"bootstrap-token", "b"}},
         Vault{{"bootstrap-token", "b"}, {"local-api-token", "generated-token"}},
         {std::nullopt, "generated-token", true}},
        {"unknown members are carried along",
         Vault{{"local-api-token", "l"}, {"future", "f"}},
         std::nullopt,
         {std::nullopt, "l", false}},
        // An empty string is no token: an empty bearer token would guard nothing, and an empty
        // device token cannot authenticate.
        {"empty local token is replaced",
         Vault{{"local-api-token", ""}, {"device-token", ""}},
         Vault{{"local-api-token", "generated-token"}, {"device-token", ""}},
         {std::nullopt, "generated-token", false}},
        {"empty bootstrap is not a pairing",
         Vault{{"local-api-token", "l"}, {"bootstrap-token", ""}},
         std::nullopt,
         {std::nullopt, "l", false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Effects effects;
        effects.stored = c.stored;
        effects.legacy = {{"device-token", "ignored while there is a vault"}};
        const ConnectionCredentials credentials = effects.run();
        EXPECT_EQ(credentials.device, c.expected.device);
        EXPECT_EQ(credentials.local, c.expected.local);
        EXPECT_EQ(credentials.hasBootstrap, c.expected.hasBootstrap);
        if (c.saved) {
            EXPECT_EQ(effects.saves, std::vector<Vault>{*c.saved});
        } else {
            EXPECT_TRUE(effects.saves.empty());
        }
    }
}

TEST(KeychainStorePrepareConnection, NeverSavesAVaultWithoutAUsableLocalToken) {
    Effects empty;
    empty.generate = [] {
        return std::string();
    };
    EXPECT_EQ(codeOf([&] { empty.run(); }), "keychain_credentials_invalid");
    EXPECT_TRUE(empty.saves.empty());

    Effects failing;
    failing.legacy = {{"device-token", "d"}};
    failing.generate = []() -> std::string {
        throw ContractError("random_generation_failed");
    };
    EXPECT_EQ(codeOf([&] { failing.run(); }), "random_generation_failed");
    EXPECT_TRUE(failing.saves.empty());
}

TEST(KeychainStoreRandomToken, IsFortyThreeURLSafeCharactersAndNeverRepeats) {
    std::set<std::string> seen;
    std::set<char> used;
    for (int i = 0; i < 500; ++i) {
        const std::string token = KeychainStore::randomToken();
        ASSERT_EQ(token.size(), 43u) << token;
        for (const char c : token) {
            ASSERT_TRUE((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_')
                << token;
            used.insert(c);
        }
        seen.insert(token);
    }
    EXPECT_EQ(seen.size(), 500u);
    // 500 tokens of 256 random bits use the whole alphabet, the two URL-safe symbols included.
    EXPECT_EQ(used.size(), 64u);
}

} // namespace
} // namespace corvane
