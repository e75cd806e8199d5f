// Sign-in: the one-time setup, passwords, rate limits and session expiry.
#include "Finished.h"
#include "RelayBench.h"

#include "core/ContractError.h"
#include "relay/RelayAccounts.h"
#include "relay/RelayPasswords.h"

#include <functional>
#include <map>
#include <vector>

using namespace std::chrono_literals;

namespace corvane::test {
namespace {

class RelayAccountsTest : public RelayBench {
protected:
    RelayAccountsTest()
        : accounts(storeThread, passwords, clock) {}

    std::string signIn(const std::string& name, const std::string& password,
                       const std::string& address = "10.0.0.1") {
        try {
            return finished(accounts.signIn(name, password, address)).token;
        } catch (const ContractError& error) {
            return error.code();
        }
    }

    RelayPasswords passwords;
    RelayAccounts accounts;
    const std::string password = "correct horse battery";
};

TEST_F(RelayAccountsTest, TheSetupLinkWorksOnceForAGoodPassword) {
    const std::string token = accounts.setupToken();
    ASSERT_FALSE(token.empty());
    EXPECT_THROW(finished(accounts.setUp(token + "x", "owner", password)), ContractError);
    try {
        finished(
            accounts.setUp(token, "owner", std::string(RelayAccounts::shortestPassword - 1, 'p')));
        ADD_FAILURE() << "a short password was taken";
    } catch (const ContractError& error) {
        EXPECT_EQ(error.code(), "invalid_request");
    }
    const RelayAccounts::Session session = finished(accounts.setUp(token, "owner", password));
    EXPECT_EQ(accounts.session(session.token)->accountId, session.accountId);
    EXPECT_TRUE(accounts.setupToken().empty());
    EXPECT_THROW(finished(accounts.setUp(token, "second", password)), ContractError);

    // A relay started later with an account has no setup link at all.
    RelayAccounts restarted(storeThread, passwords, clock);
    EXPECT_TRUE(restarted.setupToken().empty());
}

TEST_F(RelayAccountsTest, FailedSignInsAreLimitedPerAccountAndPerAddress) {
    finished(accounts.setUp(accounts.setupToken(), "owner", password));
    const auto signInHolding = [&](const std::string& address) {
        try {
            return finished(accounts.signIn("owner", password, address, true)).token.empty()
                       ? std::string("no token")
                       : std::string("signed in");
        } catch (const ContractError& error) {
            return error.code();
        }
    };
    for (int i = 0; i < RelayAccounts::failuresAllowed; ++i) {
        EXPECT_EQ(signIn("owner", "wrong", "10.0.0." + std::to_string(i)), "sign_in_failed");
    }
    // Strangers' failures never refuse the right password from an address that has not failed,
    // nor from a browser that holds a live session; addresses that failed are slowed down.
    struct Row {
        const char* name;
        std::function<std::string()> attempt;
        bool refused;
    };
    const std::vector<Row> rows{
        {"fresh address", [&] { return signIn("owner", password, "10.0.0.99"); }, false},
        {"failed address, its turn", [&] { return signIn("owner", password, "10.0.0.1"); }, false},
        {"failed address again at once", [&] { return signIn("owner", "wrong", "10.0.0.2"); },
         true},
        {"failed address holding a session", [&] { return signInHolding("10.0.0.2"); }, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.attempt() == "rate_limited", row.refused);
    }
    EXPECT_EQ(signIn("owner", password, "10.0.0.3"), "rate_limited");
    clock.advance(RelayAccounts::failedAddressPace);
    EXPECT_NE(signIn("owner", password, "10.0.0.3"), "rate_limited");

    // Five failures for five names from one address lock that address.
    for (int i = 0; i < RelayAccounts::failuresAllowed; ++i) {
        EXPECT_EQ(signIn("nobody" + std::to_string(i), "wrong", "192.0.2.1"), "sign_in_failed");
    }
    EXPECT_EQ(signIn("owner", password, "192.0.2.1"), "rate_limited");
    EXPECT_NE(signIn("owner", password, "192.0.2.2"), "rate_limited");
}

TEST_F(RelayAccountsTest, SignInsUnderWayCountAgainstTheirAddressAndHashingIsBounded) {
    finished(accounts.setUp(accounts.setupToken(), "owner", password));
    // Ten wrong passwords from one address at once are checked no more than one after another.
    std::vector<QCoro::Task<RelayAccounts::Session>> attempts;
    for (int i = 0; i < 10; ++i) {
        attempts.push_back(accounts.signIn("owner", "wrong", "10.0.0.1"));
    }
    std::map<std::string, int> codes;
    for (QCoro::Task<RelayAccounts::Session>& attempt : attempts) {
        try {
            finished(std::move(attempt));
            ++codes["signed in"];
        } catch (const ContractError& error) {
            ++codes[error.code()];
        }
    }
    EXPECT_EQ(codes, (std::map<std::string, int>{{"rate_limited", 5}, {"sign_in_failed", 5}}));

    // Past its bound the pool refuses at once, and gives places back as hashes end.
    RelayPasswords small(1, 2);
    const std::string hash = RelayPasswords::hashNow(password);
    QCoro::Task<bool> first = small.verify(hash, password);
    QCoro::Task<bool> second = small.verify(hash, "wrong");
    QCoro::Task<bool> third = small.verify(hash, password);
    EXPECT_THROW(finished(std::move(third)), ContractError);
    EXPECT_TRUE(finished(std::move(first)));
    EXPECT_FALSE(finished(std::move(second)));
    EXPECT_TRUE(finished(small.verify(hash, password)));
}

TEST_F(RelayAccountsTest, SessionsEndOnTheServerAfterTheirLifetime) {
    finished(accounts.setUp(accounts.setupToken(), "owner", password));
    const std::string token = signIn("owner", password);
    const std::string other = signIn("owner", password);
    ASSERT_TRUE(accounts.session(token));
    EXPECT_NE(accounts.session(token)->csrf, accounts.session(other)->csrf);
    EXPECT_FALSE(accounts.session(""));
    EXPECT_FALSE(accounts.session(token + "x"));

    clock.advance(RelayAccounts::sessionLifetime - 1ms);
    EXPECT_TRUE(accounts.session(token));
    finished(accounts.signOut(other));
    EXPECT_FALSE(accounts.session(other));
    clock.advance(1ms);
    EXPECT_FALSE(accounts.session(token));
}

TEST_F(RelayAccountsTest, APasswordChangesOnlyWithTheCurrentOneAndOtherSessionsCanBeEnded) {
    const RelayAccounts::Session phone =
        finished(accounts.setUp(accounts.setupToken(), "owner", password, "Chrome on Android"));
    clock.advance(1s);
    const std::string laptop = signIn("owner", password);
    const auto changeCode = [&](const std::string& current, const std::string& next) {
        try {
            finished(accounts.changePassword(phone, current, next));
            return std::string("changed");
        } catch (const ContractError& error) {
            return error.code();
        }
    };
    struct Row {
        const char* name;
        std::string current;
        std::string next;
        std::string code;
    };
    const std::vector<Row> rows{
        {"wrong current", "not the password", "a new long password", "wrong_password"},
        {"too short", password, std::string(RelayAccounts::shortestPassword - 1, 'p'),
         "weak_password"},
        {"too long", password, std::string(RelayAccounts::longestPassword + 1, 'p'),
         "weak_password"},
        {"good", password, "a new long password", "changed"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(changeCode(row.current, row.next), row.code);
    }
    EXPECT_EQ(signIn("owner", password, "10.0.0.9"), "sign_in_failed");
    EXPECT_NE(signIn("owner", "a new long password", "10.0.0.9"), "sign_in_failed");

    const std::vector<RelayAccounts::Listed> listed = finished(accounts.sessionsOf(phone.personId));
    ASSERT_EQ(listed.size(), 3U);
    EXPECT_EQ(listed.front().session.browser, "Chrome on Android") << "oldest first";
    const std::string phoneKey = listed.front().key;
    EXPECT_EQ(finished(accounts.signOutOthers(phone.personId, phoneKey)).size(), 2U);
    EXPECT_TRUE(accounts.session(phone.token).has_value());
    EXPECT_FALSE(accounts.session(laptop).has_value());

    // Guessing the current password from a signed-in page counts as failed sign-ins (two so
    // far: the wrong current password and the old one's sign-in).
    for (int i = 2; i < RelayAccounts::failuresAllowed; ++i) {
        EXPECT_EQ(changeCode("guess " + std::to_string(i), "whatever long"), "wrong_password");
    }
    EXPECT_EQ(changeCode("a new long password", "another long one"), "rate_limited");
}

TEST_F(RelayAccountsTest, AnInvitedPersonSharesTheOwnersDevicesButCannotManagePeople) {
    const RelayAccounts::Session owner =
        finished(accounts.setUp(accounts.setupToken(), "owner", password));
    const std::string token = finished(accounts.invite(owner));
    const auto joinCode = [&](const std::string& link, const std::string& name) {
        try {
            return std::to_string(
                finished(accounts.join(link, name, "member's password")).accountId);
        } catch (const ContractError& error) {
            return error.code();
        }
    };
    struct Row {
        const char* name;
        std::string link;
        std::string person;
        std::string code;
    };
    const std::vector<Row> refused{
        {"no link", "", "alex", "invite_not_available"},
        {"a forged link", token + "x", "alex", "invite_not_available"},
        {"a forged link never tells a name is taken", token + "x", "owner", "invite_not_available"},
        {"the owner's name, which leaves the link working", token, "owner", "name_taken"},
        {"a name with a control character", token, "al\x01ex", "invalid_request"},
    };
    for (const Row& row : refused) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(joinCode(row.link, row.person), row.code);
    }
    const RelayAccounts::Session member =
        finished(accounts.join(token, "alex", "member's password"));
    EXPECT_EQ(member.accountId, owner.accountId) << "the owner's devices";
    EXPECT_FALSE(member.owner());
    EXPECT_EQ(joinCode(token, "sam"), "invite_not_available") << "a link works once";

    const auto code = [](const std::function<void()>& call) {
        try {
            call();
            return std::string("done");
        } catch (const ContractError& error) {
            return error.code();
        }
    };
    EXPECT_EQ(code([&] { finished(accounts.invite(member)); }), "owner_only");
    EXPECT_EQ(code([&] { finished(accounts.remove(member, owner.personId)); }), "owner_only");
    EXPECT_EQ(code([&] { finished(accounts.remove(owner, owner.personId)); }), "not_found");

    const std::string again = signIn("alex", "member's password");
    ASSERT_TRUE(accounts.session(again).has_value());
    EXPECT_EQ(finished(accounts.remove(owner, member.personId)).size(), 2U)
        << "both of alex's sessions";
    EXPECT_FALSE(accounts.session(member.token).has_value());
    EXPECT_EQ(signIn("alex", "member's password", "10.0.0.2"), "sign_in_failed");
    EXPECT_EQ(code([&] { finished(accounts.remove(owner, member.personId)); }), "not_found");

    // A newer invitation replaces the last; one past its time is refused.
    const std::string replaced = finished(accounts.invite(owner));
    const std::string newest = finished(accounts.invite(owner));
    EXPECT_EQ(joinCode(replaced, "sam"), "invite_not_available");
    clock.advance(RelayAccounts::inviteLifetime);
    EXPECT_EQ(joinCode(newest, "sam"), "invite_not_available");
}

} // namespace
} // namespace corvane::test
