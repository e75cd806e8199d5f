#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// Everything the relay keeps across restarts. Secrets arrive here already hashed: the store never
// sees a token or password in plain text. Shaped around single-row operations with their own
// conditions (an approval only of a pending code, a redemption only of an approved one), so that
// a shared database can take the place of the embedded one for several relay processes.
// Every operation throws RelayStoreError when the database fails.
class RelayStore {
public:
    using Time = std::chrono::system_clock::time_point;

    struct Account {
        std::int64_t id = 0;
        std::string name;
        std::string passwordHash; // an Argon2id string from crypto_pwhash_str
        // Set for a person invited into another account: its devices are that account's.
        std::optional<std::int64_t> memberOf;
    };

    enum class PairingState { Pending, Approved, Redeemed, Cancelled };
    struct Pairing {
        std::string code;
        std::string deviceId;
        std::string bootstrapHash;
        std::string deviceName;
        Time expiresAt;
        PairingState state = PairingState::Pending;
        std::int64_t accountId = 0; // 0 until approved
        // Shown to the person who approves it.
        std::string agentVersion;
        Time requestedAt;
        // Where the request came from (an IPv4 address or an IPv6 /64), to bound its codes.
        std::string addressBlock;
    };

    struct Device {
        std::string id;
        std::int64_t accountId = 0;
        std::string name;
        std::string tokenHash;
        Time pairedAt;
        bool revoked = false;
    };

    struct Audit {
        std::string commandId;
        std::int64_t accountId = 0;
        std::string deviceId;
        std::string action;
        std::string outcome; // "succeeded", an error code, or "" while the command runs
        Time sentAt;
        std::optional<Time> finishedAt;
        // The assistant that sent it through the MCP endpoint; empty for the dashboard.
        std::string assistant = {};
    };

    virtual ~RelayStore() = default;

    // Accounts. createAccount returns the new id, or nullopt when the name is taken.
    virtual std::optional<std::int64_t> createAccount(const std::string& name,
                                                      const std::string& passwordHash) = 0;
    virtual std::optional<Account> accountByName(const std::string& name) = 0;
    virtual std::int64_t accountCount() = 0;
    virtual void setPasswordHash(std::int64_t accountId, const std::string& passwordHash) = 0;
    // A person who joins `ownerId`'s account; nullopt when the name is taken.
    virtual std::optional<std::int64_t> createMember(const std::string& name,
                                                     const std::string& passwordHash,
                                                     std::int64_t ownerId) = 0;
    // The owner and the members of `ownerId`'s account, the owner first.
    virtual std::vector<Account> peopleOf(std::int64_t ownerId) = 0;
    // Removes a member of `ownerId`'s account; false when it is none.
    virtual bool removeMember(std::int64_t ownerId, std::int64_t memberId) = 0;
    // Invitations into an account, stored as hashes, one per account (a new one replaces the
    // last); taking one removes it, and gives its account when it had not expired at `now`.
    virtual void addInvite(const std::string& tokenHash, std::int64_t ownerId, Time expiresAt) = 0;
    virtual std::optional<std::int64_t> takeInvite(const std::string& tokenHash, Time now) = 0;
    // The account an unexpired invitation leads to, leaving it in place.
    virtual std::optional<std::int64_t> inviteOwner(const std::string& tokenHash, Time now) = 0;

    // Pairing codes. A code or bootstrap hash names at most one pairing: false when one is taken
    // already (another relay may have drawn the same code a moment earlier).
    virtual bool addPairing(const Pairing& pairing) = 0;
    virtual std::optional<Pairing> pairingByCode(const std::string& code) = 0;
    virtual std::optional<Pairing> pairingByBootstrap(const std::string& bootstrapHash) = 0;
    // Moves a pending, unexpired pairing to approved for `accountId`; false when it was not.
    virtual bool approvePairing(const std::string& code, std::int64_t accountId, Time now) = 0;
    // In one transaction: an approved pairing becomes redeemed and its device is created with
    // `tokenHash`. False when the pairing was not approved (or is gone).
    virtual bool redeemPairing(const std::string& bootstrapHash, const std::string& tokenHash,
                               Time now) = 0;
    virtual void cancelPairing(const std::string& bootstrapHash) = 0;
    // Removes pairings that expired before `before` and were never redeemed.
    virtual void purgePairings(Time before) = 0;
    // Pending pairings that have not expired at `now`: all of them, or those from one block.
    virtual std::int64_t pendingPairings(Time now) = 0;
    virtual std::int64_t pendingPairingsFrom(const std::string& addressBlock, Time now) = 0;

    // Devices.
    virtual std::optional<Device> device(const std::string& id) = 0;
    virtual std::vector<Device> devicesOf(std::int64_t accountId) = 0;
    virtual void revokeDevice(const std::string& id) = 0;
    virtual void renameDevice(const std::string& id, const std::string& name) = 0;

    // Command audit, newest first when listed.
    virtual void addAudit(const Audit& audit) = 0;
    virtual void finishAudit(const std::string& commandId, const std::string& outcome,
                             Time finishedAt) = 0;
    virtual std::vector<Audit> auditOf(const std::string& deviceId, int limit) = 0;
    // Finishes every command still without an outcome with `outcome`; returns how many.
    virtual std::int64_t endUnfinishedAudits(const std::string& outcome, Time finishedAt) = 0;
};

} // namespace corvane
