#pragma once

#include "relay/RelayStore.h"

#include <memory>
#include <string>

struct pg_conn;

namespace corvane {

// The shared store: one PostgreSQL database that several relay processes use at once. Each
// object holds one connection and is used by one thread at a time. The numbered migrations (the
// embedded store's, in this dialect) run at construction under an advisory lock, so relays
// starting together migrate once; the version sits in the one row of `relay_schema`, and a
// database of a newer relay is refused. Conditional operations are single statements, so two
// relays never both approve or redeem one code. A lost connection fails the operation in
// progress and is made again at the next one.
class PostgresRelayStore final : public RelayStore {
public:
    // Connects to `address` (a postgresql:// URL or key=value string) and migrates the database.
    // Throws RelayStoreError; its text never repeats the address (it may hold a password).
    explicit PostgresRelayStore(const std::string& address);
    ~PostgresRelayStore() override;
    PostgresRelayStore(const PostgresRelayStore&) = delete;
    PostgresRelayStore& operator=(const PostgresRelayStore&) = delete;

    // The number of migrations this build knows: the embedded store's number.
    static int schemaVersion();
    // Whether libpq can read `address` at all (checked before connecting, so that a typo is told
    // apart from a server that cannot be reached).
    static bool readableAddress(const std::string& address);

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
    class Result;
    class Values;

    // The connection, made again when it was lost. Throws RelayStoreError when it cannot be.
    pg_conn* connection();
    // One statement with its values sent apart from its text (never spliced into it).
    Result run(const char* operation, const char* sql, const Values& values);
    // Statements without values, several at once (migrations, transaction control).
    void script(const char* operation, const char* sql);
    void migrate();
    std::optional<Pairing> pairingWhere(const char* sql, const std::string& value);

    std::unique_ptr<pg_conn, void (*)(pg_conn*)> connection_;
};

} // namespace corvane
