#pragma once

#include "agent/CredentialVault.h"
#include "core/WorkerPool.h"

#include <qcoro/qcorotask.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// The connection secrets: every vault operation runs on a keychain thread of their own, so a slow
// store (an unlock prompt may take 25 s) never holds the main thread or a command's records; and
// the device token once it is known. The pool drops queued jobs when it goes (their awaiters end
// with WorkerPoolStopped), so Quit waits for at most the one operation under way. Main thread only.
class Credentials {
public:
    explicit Credentials(std::shared_ptr<CredentialVault> vault);
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;

    // The device token of a paired computer, absent while unpaired or not yet loaded.
    const std::optional<std::string>& deviceToken() const noexcept { return deviceToken_; }
    void setDeviceToken(std::optional<std::string> token) { deviceToken_ = std::move(token); }

    // Reads (and where needed creates) the device and local tokens.
    QCoro::Task<CredentialVault::Credentials> load(bool allowInteraction);
    // A new loopback API token in place of the old one.
    QCoro::Task<std::string> replaceLocalToken();
    QCoro::Task<std::optional<std::string>> read(std::string account);
    // One job: the accounts go in this order, and a failure stops the rest.
    QCoro::Task<> remove(std::vector<std::string> accounts);
    // Stores a pairing code's bootstrap token and a fresh pending device token; returns the latter.
    QCoro::Task<std::string> storeBootstrap(std::string bootstrap);
    // The redeemed pending token becomes the device token; the pairing's tokens go.
    QCoro::Task<> keepDeviceToken(std::string pendingToken);
    // Every connection secret: the device, pending and bootstrap tokens, in that order.
    QCoro::Task<> wipe();

    // Blocks until the keychain thread is idle; returns how many jobs it was given in all.
    std::size_t waitForDone() { return keys_.waitForDone(); }

private:
    std::shared_ptr<CredentialVault> vault_;
    std::optional<std::string> deviceToken_;
    WorkerPool keys_;
};

} // namespace corvane
