#pragma once

#include "relay/RelayStore.h"

namespace corvane {

class RelayStoreThread;

// The store on its thread, called as an ordinary store: each operation runs there and the caller
// waits for it. For code that has not learnt to await the store (the device hub's few writes,
// tests); request handlers await RelayStoreThread::run instead.
class BlockingRelayStore final : public RelayStore {
public:
    explicit BlockingRelayStore(RelayStoreThread& thread)
        : thread_(thread) {}

    std::optional<std::int64_t> createAccount(const std::string& name,
                                              const std::string& passwordHash) override;
    std::optional<Account> accountByName(const std::string& name) override;
    std::int64_t accountCount() override;
    void setPasswordHash(std::int64_t accountId, const std::string& passwordHash) override;
    std::optional<std::int64_t> createMember(const std::string& name,
                                             const std::string& passwordHash,
                                             std::int64_t ownerId) override;
    std::vector<Account> peopleOf(std::int64_t ownerId) override;
    bool removeMember(std::int64_t ownerId, std::int64_t memberId) override;
    void addInvite(const std::string& tokenHash, std::int64_t ownerId, Time expiresAt) override;
    std::optional<std::int64_t> takeInvite(const std::string& tokenHash, Time now) override;
    std::optional<std::int64_t> inviteOwner(const std::string& tokenHash, Time now) override;
    bool addPairing(const Pairing& pairing) override;
    std::optional<Pairing> pairingByCode(const std::string& code) override;
    std::optional<Pairing> pairingByBootstrap(const std::string& bootstrapHash) override;
    bool approvePairing(const std::string& code, std::int64_t accountId, Time now) override;
    bool redeemPairing(const std::string& bootstrapHash, const std::string& tokenHash,
                       Time now) override;
    void cancelPairing(const std::string& bootstrapHash) override;
    void purgePairings(Time before) override;
    std::int64_t pendingPairings(Time now) override;
    std::int64_t pendingPairingsFrom(const std::string& addressBlock, Time now) override;
    std::optional<Device> device(const std::string& id) override;
    std::vector<Device> devicesOf(std::int64_t accountId) override;
    void revokeDevice(const std::string& id) override;
    void renameDevice(const std::string& id, const std::string& name) override;
    void addAudit(const Audit& audit) override;
    void finishAudit(const std::string& commandId, const std::string& outcome,
                     Time finishedAt) override;
    std::vector<Audit> auditOf(const std::string& deviceId, int limit) override;
    std::int64_t endUnfinishedAudits(const std::string& outcome, Time finishedAt) override;

private:
    RelayStoreThread& thread_;
};

} // namespace corvane
