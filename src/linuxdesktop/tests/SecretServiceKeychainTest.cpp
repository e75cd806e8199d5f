#include "linuxdesktop/SecretServiceKeychain.h"

#include "actions/tests/KeychainStoreSuite.h"

#include <libsecret/secret.h>

#include <cstdlib>
#include <string>

namespace corvane {
namespace {

using keychain_suite::codeOf;
using keychain_suite::KeychainStoreSuite;
using Status = Keychain::Status;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

// Opens the default collection of the Secret Service on the bus, or says why it cannot.
SecretCollection* defaultCollection(SecretService*& service, std::string& failure) {
    GError* error = nullptr;
    service = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION,
                                       nullptr, &error);
    SecretCollection* collection = nullptr;
    if (service != nullptr) {
        collection = secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT,
                                                      SECRET_COLLECTION_NONE, nullptr, &error);
    }
    if (error != nullptr) {
        failure = error->message;
        g_error_free(error);
    } else if (collection == nullptr) {
        failure = "the keyring has no default collection";
    }
    return collection;
}

// Why the Secret Service cases cannot run here; empty when they can. They run only on the private
// bus that run-with-secret-service.sh sets up, never against the keyring of whoever runs them.
std::string unavailability() {
    if (const std::string why = environment("CORVANE_SECRET_SERVICE_UNAVAILABLE"); !why.empty()) {
        return "Secret Service unavailable: " + why;
    }
    if (environment("CORVANE_SECRET_SERVICE_BUS") != "private") {
        return "Secret Service unavailable: run through run-with-secret-service.sh, which gives "
               "the test a private bus and keyring";
    }
    SecretService* service = nullptr;
    std::string failure;
    SecretCollection* collection = defaultCollection(service, failure);
    if (collection != nullptr) {
        g_object_unref(collection);
    }
    if (service != nullptr) {
        g_object_unref(service);
    }
    return failure.empty() ? std::string() : "Secret Service unavailable: " + failure;
}

INSTANTIATE_TEST_SUITE_P(SecretService, KeychainStoreSuite,
                         ::testing::Values(keychain_suite::KeychainBackend{
                             "SecretService",
                             [](std::string& reason) -> std::unique_ptr<Keychain> {
                                 reason = unavailability();
                                 if (!reason.empty()) {
                                     return nullptr;
                                 }
                                 return std::make_unique<SecretServiceKeychain>();
                             },
                             12}),
                         keychain_suite::backendName);

class SecretServiceKeychainTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string reason = unavailability(); !reason.empty()) {
            GTEST_SKIP() << reason;
        }
        service_ = "local.corvane.test." + KeychainStore::randomToken().substr(0, 16);
    }

    Keychain::Query query(const std::string& account, bool allowInteraction = false) const {
        return {service_, account, allowInteraction};
    }

    SecretServiceKeychain keychain_;
    std::string service_;
};

TEST_F(SecretServiceKeychainTest, AbsenceIsToldApartAndSecretsRoundTripAsBytes) {
    std::string secret = "untouched";
    EXPECT_EQ(keychain_.copy(query("a"), secret), Status::NotFound);
    EXPECT_EQ(secret, "untouched");
    EXPECT_EQ(keychain_.update(query("a"), "x"), Status::NotFound);
    EXPECT_EQ(keychain_.remove(query("a")), Status::NotFound);

    const std::string bytes("text\0with\xff bytes", 16);
    ASSERT_EQ(keychain_.add(query("a"), bytes), Status::Success);
    EXPECT_EQ(keychain_.add(query("a"), "again"), Status::Other) << "a duplicate item";
    ASSERT_EQ(keychain_.copy(query("a"), secret), Status::Success);
    EXPECT_EQ(secret, bytes);

    // Service and account both address the item.
    EXPECT_EQ(keychain_.copy(query("b"), secret), Status::NotFound);
    EXPECT_EQ(keychain_.copy({service_ + ".other", "a", false}, secret), Status::NotFound);

    ASSERT_EQ(keychain_.update(query("a"), ""), Status::Success);
    ASSERT_EQ(keychain_.copy(query("a"), secret), Status::Success);
    EXPECT_EQ(secret, "");

    EXPECT_EQ(keychain_.remove(query("a")), Status::Success);
    EXPECT_EQ(keychain_.copy(query("a"), secret), Status::NotFound);
}

// Locking cannot be undone without a prompt, so this case runs on a keyring of its own (see
// CMakeLists.txt). Nothing may prompt: every call must come back, refused.
TEST_F(SecretServiceKeychainTest, LockedKeyringRefusesWithoutPrompting) {
    ASSERT_EQ(keychain_.add(query("device-token"), "secret"), Status::Success);

    SecretService* service = nullptr;
    std::string failure;
    SecretCollection* collection = defaultCollection(service, failure);
    ASSERT_NE(collection, nullptr) << failure;
    GList one{collection, nullptr, nullptr};
    GError* error = nullptr;
    const gint locked = secret_service_lock_sync(service, &one, nullptr, nullptr, &error);
    g_object_unref(collection);
    g_object_unref(service);
    ASSERT_EQ(error, nullptr) << error->message;
    ASSERT_EQ(locked, 1);

    std::string secret;
    EXPECT_EQ(keychain_.copy(query("device-token"), secret), Status::InteractionNotAllowed);
    EXPECT_EQ(keychain_.update(query("device-token"), "new"), Status::InteractionNotAllowed);
    EXPECT_EQ(keychain_.remove(query("device-token")), Status::InteractionNotAllowed);
    EXPECT_EQ(keychain_.add(query("bootstrap-token"), "new"), Status::InteractionNotAllowed);

    KeychainStore store(keychain_, service_, false);
    EXPECT_EQ(codeOf([&] { store.connectionCredentials(); }), "keychain_read_failed");
    EXPECT_EQ(codeOf([&] { store.remove("device-token"); }), "keychain_delete_failed");
}

// Run with a bus address where nothing listens (see CMakeLists.txt): a keychain that cannot be
// reached must fail, never look empty, or the agent would mint and save fresh credentials.
TEST(SecretServiceKeychainUnreachable, AnUnreachableServiceIsAFailureNotAbsence) {
    if (environment("CORVANE_SECRET_SERVICE_BUS") != "unreachable") {
        GTEST_SKIP() << "needs a bus address where nothing listens";
    }
    SecretServiceKeychain keychain;
    const Keychain::Query query{"local.corvane.test", "device-token", false};
    std::string secret;
    EXPECT_EQ(keychain.copy(query, secret), Status::Other);
    EXPECT_EQ(keychain.add(query, "x"), Status::Other);
    EXPECT_EQ(keychain.remove(query), Status::Other);

    KeychainStore store(keychain, "local.corvane.test", false);
    EXPECT_EQ(codeOf([&] { store.connectionCredentials(); }), "keychain_read_failed");
}

} // namespace
} // namespace corvane
