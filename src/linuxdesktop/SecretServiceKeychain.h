#pragma once

#include "platform/Keychain.h"

#include <functional>
#include <memory>
#include <mutex>

namespace corvane {

// The keychain over the desktop's Secret Service (libsecret, synchronous calls, safe from any
// thread). Items live in the default collection under their own schema, keyed by the attributes
// "service" and "account". Without allowInteraction nothing ever prompts: a locked item or
// collection answers InteractionNotAllowed instead of asking to unlock it. The connection to the
// service opens on first use and is retried on the next call after a failure.
class SecretServiceKeychain final : public Keychain {
public:
    // The schema name stored with every item; only items of this schema are ever seen.
    static constexpr const char* schemaName = "local.corvane.GenericPassword";

    SecretServiceKeychain();
    ~SecretServiceKeychain() override;
    SecretServiceKeychain(const SecretServiceKeychain&) = delete;
    SecretServiceKeychain& operator=(const SecretServiceKeychain&) = delete;

    Status copy(const Query& query, std::string& secret) override;
    Status update(const Query& query, const std::string& secret) override;
    // An existing item with the same service and account is a failure (Other). Without a default
    // collection one is created only when interaction is allowed, since creating it asks for a
    // password.
    Status add(const Query& query, const std::string& secret) override;
    Status remove(const Query& query) override;

private:
    struct Connection;

    // Runs one operation under the mutex over the open connection; Other when there is none.
    Status run(const std::function<Status(Connection&)>& operation);
    // The open connection, or null when the service cannot be reached. Called under mutex_.
    Connection* connection();

    std::mutex mutex_;
    std::unique_ptr<Connection> connection_;
};

} // namespace corvane
