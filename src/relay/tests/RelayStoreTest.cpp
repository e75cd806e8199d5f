// What either store keeps and how its conditional operations answer, operation by operation.
#include "RelayBench.h"

#include <algorithm>

using namespace std::chrono_literals;

namespace corvane::test {
namespace {

class RelayStoreTest : public RelayBench, public ::testing::WithParamInterface<StoreKind> {
protected:
    RelayStoreTest()
        : RelayBench(GetParam()) {}

    static std::vector<std::string> names(const std::vector<RelayStore::Account>& people) {
        std::vector<std::string> out;
        for (const RelayStore::Account& person : people) {
            out.push_back(person.name);
        }
        return out;
    }

    const RelayStore::Time t0 = RelayStore::Time(1'700'000'000'000ms);
};

INSTANTIATE_TEST_SUITE_P(Stores, RelayStoreTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres), storeName);

TEST_P(RelayStoreTest, AccountsMembersAndInvitations) {
    const std::optional<std::int64_t> owner = store.createAccount("owner", "h1");
    ASSERT_TRUE(owner);
    EXPECT_FALSE(store.createAccount("owner", "h2"));
    EXPECT_FALSE(store.createMember("owner", "h2", *owner));
    const std::optional<std::int64_t> member = store.createMember("member", "h3", *owner);
    const std::optional<std::int64_t> other = store.createAccount("other", "h4");
    ASSERT_TRUE(member && other);
    EXPECT_EQ(store.accountCount(), 3);
    store.setPasswordHash(*owner, "h5");
    EXPECT_EQ(store.accountByName("owner")->passwordHash, "h5");
    EXPECT_EQ(store.accountByName("member")->memberOf, owner);
    EXPECT_FALSE(store.accountByName("owner")->memberOf);
    EXPECT_FALSE(store.accountByName("nobody"));
    EXPECT_EQ(names(store.peopleOf(*owner)), (std::vector<std::string>{"owner", "member"}));

    EXPECT_FALSE(store.removeMember(*other, *member));
    EXPECT_FALSE(store.removeMember(*owner, *owner));
    EXPECT_TRUE(store.removeMember(*owner, *member));
    EXPECT_EQ(names(store.peopleOf(*owner)), (std::vector<std::string>{"owner"}));

    // One invitation per account; taking it ends it; expiry is exact, and an expired one taken
    // is gone as well.
    store.addInvite("first", *owner, t0 + 1min);
    store.addInvite("second", *owner, t0 + 1min);
    EXPECT_FALSE(store.inviteOwner("first", t0));
    EXPECT_EQ(store.inviteOwner("second", t0 + 1min - 1ms), owner);
    EXPECT_FALSE(store.inviteOwner("second", t0 + 1min));
    EXPECT_EQ(store.takeInvite("second", t0), owner);
    EXPECT_FALSE(store.takeInvite("second", t0));
    store.addInvite("late", *other, t0);
    EXPECT_FALSE(store.takeInvite("late", t0));
    EXPECT_FALSE(store.inviteOwner("late", t0 - 1min));
}

TEST_P(RelayStoreTest, AuditIsNewestFirstAndFinishedOnce) {
    // c0 and c1 in the same millisecond: the later insert counts as newer.
    for (int i = 0; i < 4; ++i) {
        store.addAudit({"c" + std::to_string(i), 1, "mac", "get_state", "",
                        t0 + std::max(i, 1) * 1ms, std::nullopt, i == 3 ? "Assistant" : ""});
    }
    store.addAudit({"elsewhere", 1, "other", "get_state", "", t0, std::nullopt});
    const auto ids = [&](int limit) {
        std::vector<std::string> out;
        for (const RelayStore::Audit& audit : store.auditOf("mac", limit)) {
            out.push_back(audit.commandId);
        }
        return out;
    };
    EXPECT_EQ(ids(10), (std::vector<std::string>{"c3", "c2", "c1", "c0"}));
    EXPECT_EQ(ids(2), (std::vector<std::string>{"c3", "c2"}));

    store.finishAudit("c0", "succeeded", t0 + 5ms);
    store.finishAudit("c0", "command_timed_out", t0 + 6ms);
    EXPECT_EQ(store.endUnfinishedAudits("relay_restarted", t0 + 7ms), 4);
    EXPECT_EQ(store.endUnfinishedAudits("relay_restarted", t0 + 8ms), 0);
    const std::vector<RelayStore::Audit> listed = store.auditOf("mac", 10);
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_EQ(listed[3].outcome, "succeeded");
    EXPECT_EQ(listed[3].finishedAt, t0 + 5ms);
    EXPECT_EQ(listed[0].outcome, "relay_restarted");
    EXPECT_EQ(listed[0].sentAt, t0 + 3ms);
    EXPECT_EQ(listed[0].assistant, "Assistant");
    EXPECT_EQ(listed[1].assistant, "");
}

TEST_P(RelayStoreTest, DevicesAndTakenCodes) {
    const std::int64_t owner = account();
    const Paired first = pair(owner);
    clock.advance(1s);
    const Paired second = pair(owner);
    store.renameDevice(first.deviceId, "Büro");
    store.revokeDevice(second.deviceId);
    const std::vector<RelayStore::Device> listed = store.devicesOf(owner);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "Büro");
    EXPECT_TRUE(store.device(second.deviceId)->revoked);
    EXPECT_FALSE(store.device("none"));

    // A code, device id or bootstrap hash already taken is not stored again.
    const auto pairing = [&](const char* code, const char* device, const char* bootstrap) {
        RelayStore::Pairing p;
        p.code = code;
        p.deviceId = device;
        p.bootstrapHash = bootstrap;
        p.deviceName = p.code == "ABCD-EFGH" ? "Mac" : "Other";
        p.expiresAt = t0 + 1min;
        p.addressBlock = "192.0.2.7";
        return p;
    };
    EXPECT_TRUE(store.addPairing(pairing("ABCD-EFGH", "d1", "b1")));
    for (const auto& [code, device, bootstrap] : {std::tuple{"ABCD-EFGH", "d2", "b2"},
                                                  {"ABCD-EFGJ", "d1", "b2"},
                                                  {"ABCD-EFGK", "d2", "b1"}}) {
        SCOPED_TRACE(code);
        EXPECT_FALSE(store.addPairing(pairing(code, device, bootstrap)));
    }
    EXPECT_EQ(store.pairingByCode("ABCD-EFGH")->deviceName, "Mac");
    EXPECT_EQ(store.pendingPairingsFrom("192.0.2.7", t0), 1);
    EXPECT_EQ(store.pendingPairingsFrom("192.0.2.8", t0), 0);
}

} // namespace
} // namespace corvane::test
