#pragma once

#include "relay/GroupCommit.h"
#include "relay/RelayStore.h"

#include <QSqlDatabase>
#include <QString>

namespace corvane {

// The embedded store: one SQLite file, opened on the thread that constructs it and used only
// there. The numbered migrations are applied in order at construction; the file's user_version
// records how many ran, so a newer relay upgrades an older file and an older relay refuses a
// newer one. Writes the store's thread groups share one transaction (GroupCommit).
class SqliteRelayStore final : public RelayStore, public GroupCommit {
public:
    // Opens (creating) `path` and migrates it. Throws RelayStoreError.
    explicit SqliteRelayStore(const QString& path);
    ~SqliteRelayStore() override;
    SqliteRelayStore(const SqliteRelayStore&) = delete;
    SqliteRelayStore& operator=(const SqliteRelayStore&) = delete;

    // The number of migrations this build knows.
    static int schemaVersion();

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

    void beginGroup() override;
    void markWrite() override;
    void keepWrite() override;
    void undoWrite() override;
    void commitGroup() override;
    void abandonGroup() noexcept override;

private:
    void migrate();
    std::optional<Pairing> pairingWhere(const QString& column, const std::string& value);

    QString connection_;
    QSqlDatabase db_;
};

} // namespace corvane
