#include "relay/BlockingRelayStore.h"

#include "relay/RelayStoreThread.h"

namespace corvane {

std::optional<std::int64_t> BlockingRelayStore::createAccount(const std::string& name,
                                                              const std::string& passwordHash) {
    return thread_.call<std::optional<std::int64_t>>([&name, &passwordHash](RelayStore& store) {
        return store.createAccount(name, passwordHash);
    });
}

std::optional<RelayStore::Account> BlockingRelayStore::accountByName(const std::string& name) {
    return thread_.call<std::optional<Account>>(
        [&name](RelayStore& store) { return store.accountByName(name); });
}

std::int64_t BlockingRelayStore::accountCount() {
    return thread_.call<std::int64_t>([](RelayStore& store) { return store.accountCount(); });
}

void BlockingRelayStore::setPasswordHash(std::int64_t accountId, const std::string& passwordHash) {
    thread_.call<void>([&accountId, &passwordHash](RelayStore& store) {
        store.setPasswordHash(accountId, passwordHash);
    });
}

std::optional<std::int64_t> BlockingRelayStore::createMember(const std::string& name,
                                                             const std::string& passwordHash,
                                                             std::int64_t ownerId) {
    return thread_.call<std::optional<std::int64_t>>(
        [&name, &passwordHash, &ownerId](RelayStore& store) {
            return store.createMember(name, passwordHash, ownerId);
        });
}

std::vector<RelayStore::Account> BlockingRelayStore::peopleOf(std::int64_t ownerId) {
    return thread_.call<std::vector<Account>>(
        [&ownerId](RelayStore& store) { return store.peopleOf(ownerId); });
}

bool BlockingRelayStore::removeMember(std::int64_t ownerId, std::int64_t memberId) {
    return thread_.call<bool>(
        [&ownerId, &memberId](RelayStore& store) { return store.removeMember(ownerId, memberId); });
}

void BlockingRelayStore::addInvite(const std::string& tokenHash, std::int64_t ownerId,
                                   RelayStore::Time expiresAt) {
    thread_.call<void>([&tokenHash, &ownerId, &expiresAt](RelayStore& store) {
        store.addInvite(tokenHash, ownerId, expiresAt);
    });
}

std::optional<std::int64_t> BlockingRelayStore::takeInvite(const std::string& tokenHash,
                                                           RelayStore::Time now) {
    return thread_.call<std::optional<std::int64_t>>(
        [&tokenHash, &now](RelayStore& store) { return store.takeInvite(tokenHash, now); });
}

std::optional<std::int64_t> BlockingRelayStore::inviteOwner(const std::string& tokenHash,
                                                            RelayStore::Time now) {
    return thread_.call<std::optional<std::int64_t>>(
        [&tokenHash, &now](RelayStore& store) { return store.inviteOwner(tokenHash, now); });
}

bool BlockingRelayStore::addPairing(const RelayStore::Pairing& pairing) {
    return thread_.call<bool>([&pairing](RelayStore& store) { return store.addPairing(pairing); });
}

std::optional<RelayStore::Pairing> BlockingRelayStore::pairingByCode(const std::string& code) {
    return thread_.call<std::optional<Pairing>>(
        [&code](RelayStore& store) { return store.pairingByCode(code); });
}

std::optional<RelayStore::Pairing>
BlockingRelayStore::pairingByBootstrap(const std::string& bootstrapHash) {
    return thread_.call<std::optional<Pairing>>(
        [&bootstrapHash](RelayStore& store) { return store.pairingByBootstrap(bootstrapHash); });
}

bool BlockingRelayStore::approvePairing(const std::string& code, std::int64_t accountId,
                                        RelayStore::Time now) {
    return thread_.call<bool>([&code, &accountId, &now](RelayStore& store) {
        return store.approvePairing(code, accountId, now);
    });
}

bool BlockingRelayStore::redeemPairing(const std::string& bootstrapHash,
                                       const std::string& tokenHash, RelayStore::Time now) {
    return thread_.call<bool>([&bootstrapHash, &tokenHash, &now](RelayStore& store) {
        return store.redeemPairing(bootstrapHash, tokenHash, now);
    });
}

void BlockingRelayStore::cancelPairing(const std::string& bootstrapHash) {
    thread_.call<void>([&bootstrapHash](RelayStore& store) { store.cancelPairing(bootstrapHash); });
}

void BlockingRelayStore::purgePairings(RelayStore::Time before) {
    thread_.call<void>([&before](RelayStore& store) { store.purgePairings(before); });
}

std::int64_t BlockingRelayStore::pendingPairings(RelayStore::Time now) {
    return thread_.call<std::int64_t>(
        [&now](RelayStore& store) { return store.pendingPairings(now); });
}

std::int64_t BlockingRelayStore::pendingPairingsFrom(const std::string& addressBlock,
                                                     RelayStore::Time now) {
    return thread_.call<std::int64_t>([&addressBlock, &now](RelayStore& store) {
        return store.pendingPairingsFrom(addressBlock, now);
    });
}

std::optional<RelayStore::Device> BlockingRelayStore::device(const std::string& id) {
    return thread_.call<std::optional<Device>>(
        [&id](RelayStore& store) { return store.device(id); });
}

std::vector<RelayStore::Device> BlockingRelayStore::devicesOf(std::int64_t accountId) {
    return thread_.call<std::vector<Device>>(
        [&accountId](RelayStore& store) { return store.devicesOf(accountId); });
}

void BlockingRelayStore::revokeDevice(const std::string& id) {
    thread_.call<void>([&id](RelayStore& store) { store.revokeDevice(id); });
}

void BlockingRelayStore::renameDevice(const std::string& id, const std::string& name) {
    thread_.call<void>([&id, &name](RelayStore& store) { store.renameDevice(id, name); });
}

void BlockingRelayStore::addAudit(const RelayStore::Audit& audit) {
    thread_.call<void>([&audit](RelayStore& store) { store.addAudit(audit); });
}

void BlockingRelayStore::finishAudit(const std::string& commandId, const std::string& outcome,
                                     RelayStore::Time finishedAt) {
    thread_.call<void>([&commandId, &outcome, &finishedAt](RelayStore& store) {
        store.finishAudit(commandId, outcome, finishedAt);
    });
}

std::vector<RelayStore::Audit> BlockingRelayStore::auditOf(const std::string& deviceId, int limit) {
    return thread_.call<std::vector<Audit>>(
        [&deviceId, &limit](RelayStore& store) { return store.auditOf(deviceId, limit); });
}

std::int64_t BlockingRelayStore::endUnfinishedAudits(const std::string& outcome,
                                                     RelayStore::Time finishedAt) {
    return thread_.call<std::int64_t>([&outcome, &finishedAt](RelayStore& store) {
        return store.endUnfinishedAudits(outcome, finishedAt);
    });
}

} // namespace corvane
