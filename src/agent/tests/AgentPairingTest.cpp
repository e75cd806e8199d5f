// Pairing over HTTPS with a real TLS relay: the requests and their bodies, the state the window
// sees, the poll schedule in virtual time, fresh codes after expiry, and cancellation.

#include "RelayFixture.h"

#include "actions/DeviceCapabilityReport.h"
#include "core/CommandFeedback.h"
#include "core/RevocationState.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <utility>

namespace corvane::agent_test {
namespace {

using ::testing::ElementsAre;
using Answer = test::TestRelay::Answer;
using Request = test::TestRelay::Request;

constexpr const char* approveText = "Approve this Mac in your browser";

class PairingTest : public RelayTest {
protected:
    // A code valid for `lifetime` of virtual time from now.
    Answer code(const std::string& bootstrap, std::chrono::seconds lifetime,
                const std::string& shown = "ABCD-1234") {
        return test::TestRelay::json(
            200,
            JSON(JSON::Object{{"bootstrap_token", JSON(bootstrap)},
                              {"device_id", JSON(relayDeviceID)},
                              {"code", JSON(shown)},
                              {"expires_at", JSON(WireTime::text(mac.clock.now() + lifetime))}}));
    }

    static Answer redeemed(const std::string& deviceID = relayDeviceID) {
        return test::TestRelay::json(200, JSON(JSON::Object{{"device_id", JSON(deviceID)}}));
    }

    std::size_t count(const char* path) const {
        std::size_t n = 0;
        for (const QString& p : relay.paths()) {
            n += p == QString::fromUtf8(path) ? 1 : 0;
        }
        return n;
    }

    void SetUp() override {
        RelayTest::SetUp();
        relay.onRequest = [this](const Request& request) {
            sleepsAtRequest = mac.clock.pendingSleeps();
            return answer(request);
        };
    }

    // The Agent has the relay's answer to its last request and waits for the next poll: one more
    // sleep than while the relay had the request.
    bool waitingToPoll() {
        return until([&] { return mac.clock.pendingSleeps() == sleepsAtRequest + 1; });
    }

    void startPairing() {
        make();
        startConnections();
        agent->pair();
    }

    // The relay answers the code request with `first`, every other request with `then`.
    void answerCode(std::function<Answer()> first, std::function<Answer()> then) {
        answer = [first, then](const Request& request) {
            return request.path == QLatin1String("/v1/pairing/code") ? first() : then();
        };
    }
    Answer validCode() { return code("boot-1", std::chrono::minutes(10)); }
    static Answer pending() { return test::TestRelay::refusal(409, "pairing_pending"); }

    // What the relay answers.
    std::function<Answer(const Request&)> answer;
    std::size_t sleepsAtRequest = 0;
};

TEST_F(PairingTest, ApprovedCodeStoresTheTokenAndConnects) {
    int redeems = 0;
    // Approved at the second poll.
    answerCode([this] { return validCode(); },
               [&] { return ++redeems == 1 ? pending() : redeemed(); });
    startPairing();
    ASSERT_TRUE(until([&] { return agent->status() == approveText; }));
    EXPECT_TRUE(agent->pairing());
    EXPECT_EQ(agent->code(), "ABCD-1234");
    EXPECT_THAT(mac.prompts.opened, ElementsAre(relay.origin() + "#pair=ABCD-1234"));
    EXPECT_EQ(agent->pairingURL()->toString().toStdString(), relay.origin() + "#pair=ABCD-1234");
    ASSERT_TRUE(until([&] { return count("/v1/pairing/redeem") == 1; }));
    ASSERT_TRUE(waitingToPoll());

    // The second poll comes 2.5 s plus the sample (0.5) later, not before.
    run(std::chrono::milliseconds(2750));
    quietly();
    EXPECT_EQ(count("/v1/pairing/redeem"), 1u);
    run(std::chrono::milliseconds(250));
    ASSERT_TRUE(until([&] { return sessionCount() == 1; }));

    EXPECT_FALSE(agent->pairing());
    EXPECT_EQ(agent->code(), "");
    const std::optional<std::string> token = vault->secret("device-token");
    ASSERT_TRUE(token.has_value());
    EXPECT_EQ(token->size(), 43u);
    EXPECT_EQ(agent->token(), token);
    EXPECT_FALSE(vault->secret("pending-device-token").has_value());
    EXPECT_FALSE(vault->secret("bootstrap-token").has_value());
    EXPECT_THAT(vault->written,
                ElementsAre("bootstrap-token", "pending-device-token", "device-token"));
    EXPECT_EQ(mac.defaults.stringValue("device-id"), std::optional<std::string>(relayDeviceID));
    EXPECT_EQ(mac.defaults.stringValue("relay"), std::optional<std::string>(relay.origin()));

    // What went on the wire.
    const std::vector<Request>& requests = relay.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].body,
              JSON(JSON::Object{{"device_name", JSON("host")},
                                {"kind", JSON("mac")},
                                {"agent_version", JSON(DeviceCapabilityReport::version())}}));
    EXPECT_TRUE(requests[0].bearer.isEmpty());
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(requests[i].bearer, QByteArrayLiteral("boot-1"));
        EXPECT_EQ(requests[i].body, JSON(JSON::Object{{"device_token", JSON(*token)}}));
    }
    for (const Request& request : requests) {
        EXPECT_EQ(request.contentType, QByteArrayLiteral("application/json"));
    }
    // The session then presents the same token.
    ASSERT_TRUE(until([&] { return !session().raw().empty(); }));
    EXPECT_EQ(*session().messages().front().stringMember("device_token"), *token);
}

TEST_F(PairingTest, TwentyPendingAnswersWaitTheirScheduleWithoutAStatusChange) {
    answerCode([this] { return validCode(); }, pending);
    *sample = 1.0; // the longest wait: 3.5 s
    startPairing();
    ASSERT_TRUE(until([&] { return count("/v1/pairing/redeem") == 1; }));
    std::vector<std::string> statuses;
    QObject::connect(agent.get(), &Agent::changed, agent.get(), [&](Agent::Field field) {
        if (field == Agent::Field::Status) {
            statuses.push_back(agent->status());
        }
    });
    for (std::size_t poll = 2; poll <= 21; ++poll) {
        ASSERT_TRUE(waitingToPoll()) << poll;
        run(std::chrono::milliseconds(3250));
        quietly(std::chrono::milliseconds(20));
        ASSERT_EQ(count("/v1/pairing/redeem"), poll - 1) << "early poll " << poll;
        run(std::chrono::milliseconds(250));
        ASSERT_TRUE(until([&] { return count("/v1/pairing/redeem") == poll; })) << poll;
    }
    EXPECT_TRUE(statuses.empty());
    EXPECT_EQ(agent->status(), approveText);
    EXPECT_EQ(count("/v1/pairing/code"), 1u);
}

TEST_F(PairingTest, ExpiryDeletesTheOldTokensThenAsksForAFreshCode) {
    std::vector<std::string> removedBeforeSecondCode;
    int codes = 0;
    answerCode(
        [&] {
            if (++codes == 2) {
                removedBeforeSecondCode = vault->removed;
            }
            return code("boot-" + std::to_string(codes), std::chrono::seconds(40),
                        "CODE-" + std::to_string(codes));
        },
        pending);
    startPairing();
    // Polls every 3 s, at 0 to 39 s; the last wait is cut to the 1 s left, and a code that lived
    // its life is followed by a fresh one at once.
    for (std::size_t poll = 1; poll < 14; ++poll) {
        ASSERT_TRUE(until([&] { return count("/v1/pairing/redeem") == poll; })) << poll;
        ASSERT_TRUE(waitingToPoll());
        run(std::chrono::seconds(3));
    }
    ASSERT_TRUE(until([&] { return count("/v1/pairing/redeem") == 14; }));
    ASSERT_TRUE(waitingToPoll());
    run(std::chrono::milliseconds(750));
    quietly();
    EXPECT_EQ(agent->code(), "CODE-1");
    run(std::chrono::milliseconds(250));
    ASSERT_TRUE(until([&] { return agent->code() == "CODE-2"; }));
    EXPECT_THAT(removedBeforeSecondCode, ElementsAre("pending-device-token", "bootstrap-token"));
    ASSERT_TRUE(until([&] { return count("/v1/pairing/redeem") == 15; }));
    EXPECT_EQ(vault->secret("bootstrap-token"), std::optional<std::string>("boot-2"));
    EXPECT_TRUE(agent->pairing());
    EXPECT_THAT(mac.prompts.opened,
                ElementsAre(relay.origin() + "#pair=CODE-1", relay.origin() + "#pair=CODE-2"));

    // The relay may say so itself, here when the code is 30 s old.
    for (int poll = 0; poll < 10; ++poll) {
        ASSERT_TRUE(waitingToPoll());
        run(std::chrono::seconds(3));
    }
    ASSERT_TRUE(waitingToPoll());
    answerCode([this] { return code("boot-3", std::chrono::minutes(5), "CODE-3"); },
               [] { return test::TestRelay::refusal(410, "pairing_expired"); });
    run(std::chrono::seconds(3));
    ASSERT_TRUE(until([&] { return agent->code() == "CODE-3"; }));
}

// A relay whose codes are dead on arrival gets no storm of requests: fresh codes come after 2, 4,
// 8 and 16 s, and the fifth dead code ends the pairing with a status that says what is wrong.
TEST_F(PairingTest, CodesThatExpireAtOnceAreRenewedWithBackoffThenGiveUp) {
    struct Row {
        const char* name;
        std::chrono::seconds lifetime;
        std::function<Answer()> poll;
    };
    const std::vector<Row> rows{
        {"expiry already past", std::chrono::seconds(-60), pending},
        {"relay says expired at once", std::chrono::minutes(10),
         [] {
             return test::TestRelay::refusal(410, "pairing_expired");
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        answerCode([&] { return code("boot", row.lifetime); }, row.poll);
        startPairing();
        std::size_t codes = 1;
        for (const int wait : {2, 4, 8, 16}) {
            // The code's tokens are gone: the Agent waits for the next one.
            ASSERT_TRUE(until([&] { return vault->removed.size() == 2 * codes; })) << codes;
            run(std::chrono::seconds(wait) - std::chrono::milliseconds(250));
            quietly(std::chrono::milliseconds(20));
            ASSERT_EQ(count("/v1/pairing/code"), codes) << "early code " << codes + 1;
            run(std::chrono::milliseconds(250));
            ++codes;
        }
        ASSERT_TRUE(until([&] { return !agent->pairing(); }));
        EXPECT_EQ(agent->status(), Agent::pairingCodesExpiredText);
        EXPECT_EQ(count("/v1/pairing/code"), 5u);
        // Each code: its two tokens written, then deleted.
        EXPECT_EQ(vault->written.size(), 10u);
        EXPECT_EQ(vault->removed.size(), 10u);
        run(std::chrono::minutes(2));
        EXPECT_EQ(count("/v1/pairing/code"), 5u);
        agent.reset();
        relay.clear();
        vault->written.clear();
        vault->removed.clear();
    }
}

// Every way the attempt can fail ends in the same state; the codes are not shown.
TEST_F(PairingTest, FailuresGiveUpWithTheFixedText) {
    struct Row {
        const char* name;
        std::function<Answer()> code;
        std::function<Answer()> poll; // empty: answered as the code request
    };
    const auto valid = [this] {
        return validCode();
    };
    const std::vector<Row> rows{
        {"code refused", [] { return test::TestRelay::refusal(500, "boom"); }, {}},
        {"code that is no JSON",
         [] {
             return Answer{200, QByteArrayLiteral("<html>"), {}};
         },
         {}},
        {"another device redeemed", valid,
         [] {
             return redeemed("8c1d7a52-0f3e-4b6a-9d2c-5e7f1a3b9c4d");
         }},
        {"redeem refused otherwise", valid,
         [] {
             return test::TestRelay::refusal(403, "forbidden");
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        answerCode(row.code, row.poll ? row.poll : row.code);
        startPairing();
        ASSERT_TRUE(until([&] {
            return !agent->pairing() && agent->status() != "Unpaired" &&
                   agent->status() != "Requesting a pairing code…" &&
                   agent->status() != approveText;
        }));
        EXPECT_EQ(agent->status(), Agent::pairingInterruptedText);
        EXPECT_FALSE(agent->token().has_value());
        agent.reset();
        vault->secrets.clear();
    }
}

TEST_F(PairingTest, SilentRelayTimesOutAfterFifteenSeconds) {
    answer = [](const Request&) {
        return Answer{0, {}, {}};
    };
    startPairing();
    ASSERT_TRUE(until([&] { return relay.requests().size() == 1; }));
    run(std::chrono::milliseconds(14750));
    quietly();
    EXPECT_TRUE(agent->pairing());
    run(std::chrono::milliseconds(250));
    ASSERT_TRUE(until([&] { return !agent->pairing(); }));
    EXPECT_EQ(agent->status(), Agent::pairingInterruptedText);
}

// No more than RelayClient::maxReply bytes of a reply are read, whatever the relay declares or
// keeps sending: the request fails at once instead of waiting for the rest.
TEST_F(PairingTest, RepliesLargerThanTheLimitAreRefusedUnread) {
    // A refusal "pairing_pending" of exactly `size` bytes.
    const auto padded = [](qint64 size) {
        const std::string head = R"({"error":{"code":"pairing_pending"},"pad":")";
        const std::string text =
            head + std::string(static_cast<std::size_t>(size) - head.size() - 2, 'x') + "\"}";
        return Answer{409, QByteArray::fromStdString(text), {}};
    };
    const auto raw = [](QByteArray head, QByteArray body) {
        return Answer{test::TestRelay::rawAnswer,
                      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n" + head + "\r\n" +
                          body,
                      {}};
    };
    struct Row {
        const char* name;
        Answer answer;
        const char* error;
    };
    const std::vector<Row> rows{
        {"exactly the limit", padded(RelayClient::maxReply), "pairing_pending"},
        {"one byte more", padded(RelayClient::maxReply + 1), "relay_request_failed"},
        {"256 MiB declared", raw("Content-Length: 268435456\r\n", "{"), "relay_request_failed"},
        {"no length, still coming", raw({}, QByteArray(2 * RelayClient::maxReply, ' ')),
         "relay_request_failed"},
    };
    make();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        answer = [&row](const Request&) {
            return row.answer;
        };
        auto outcome =
            start(agent->request("v1/pairing/redeem", JSON(JSON::Object{}), std::string("boot")));
        ASSERT_TRUE(until([&] { return outcome->done; }));
        EXPECT_EQ(outcome->error, row.error);
    }
}

// Nobody is there to press Connect: pairing starts again after the connection's back-off (caps 2,
// 4, 8, 16, 32, 60 s, waits from 0.5 s up to the cap), and an interrupted one is cancelled first.
TEST_F(PairingTest, UnattendedPairingTriesAgainWithTheConnectionBackoff) {
    options.unattended = true;
    int codes = 0;
    bool redeemFails = true;
    answer = [&](const Request& request) {
        if (request.path == QLatin1String("/v1/pairing/code")) {
            return ++codes <= 6 ? test::TestRelay::refusal(503, "unavailable") : validCode();
        }
        if (request.path == QLatin1String("/v1/pairing/cancel")) {
            return test::TestRelay::json(200, JSON(JSON::Object{}));
        }
        if (std::exchange(redeemFails, false)) {
            return Answer{503, QByteArrayLiteral("down"), {}};
        }
        return redeemed();
    };
    startPairing();
    // With the sample 0.5: half-way between 0.5 s and the cap.
    const std::vector<int> waits{1250, 2250, 4250, 8250, 16250, 30250};
    for (std::size_t failed = 1; failed <= waits.size(); ++failed) {
        ASSERT_TRUE(until([&] {
            return relay.requests().size() == failed &&
                   agent->status() == Agent::pairingInterruptedText;
        })) << failed;
        run(std::chrono::milliseconds(waits[failed - 1] - 250));
        quietly(std::chrono::milliseconds(20));
        ASSERT_EQ(relay.requests().size(), failed) << "early attempt " << failed + 1;
        run(std::chrono::milliseconds(250));
    }
    // The seventh code is good, but its first poll fails: its tokens stay, and the next attempt
    // (still capped at 60 s) first tells the relay to drop them.
    ASSERT_TRUE(until([&] { return count("/v1/pairing/redeem") == 1 && !agent->pairing(); }));
    run(std::chrono::milliseconds(30250));
    ASSERT_TRUE(until([&] { return sessionCount() == 1; }));
    std::vector<QString> paths(7, QStringLiteral("/v1/pairing/code"));
    for (const char* path : {"redeem", "cancel", "code", "redeem"}) {
        paths.push_back(QStringLiteral("/v1/pairing/") + QString::fromUtf8(path));
    }
    EXPECT_EQ(relay.paths(), paths);
    EXPECT_EQ(relay.requests()[8].bearer, QByteArrayLiteral("boot-1"));
    EXPECT_EQ(std::count(reports->begin(), reports->end(), "pairing again in 30.3 s"), 2);
}

// Nothing a relay sets is kept or sent back, and an unknown authority is never trusted.
TEST_F(PairingTest, RequestsKeepNoCookiesAndTrustOnlyTheGivenAuthority) {
    answer = [](const Request&) {
        Answer answer = test::TestRelay::refusal(409, "pairing_pending");
        answer.headers = QByteArrayLiteral("Set-Cookie: session=abc; Path=/\r\n");
        return answer;
    };
    make();
    for (int i = 0; i < 2; ++i) {
        auto outcome = start(
            agent->request("v1/pairing/redeem", JSON(JSON::Object{}), std::string("bearer-1")));
        ASSERT_TRUE(until([&] { return outcome->done; }));
        EXPECT_EQ(outcome->error, "pairing_pending");
    }
    ASSERT_EQ(relay.requests().size(), 2u);
    EXPECT_TRUE(relay.requests()[1].cookie.isEmpty()) << relay.requests()[1].cookie.toStdString();
    EXPECT_EQ(relay.requests()[1].bearer, QByteArrayLiteral("bearer-1"));

    agent.reset();
    options.relayCertificates.clear();
    make();
    auto untrusted = start(agent->request("v1/pairing/code", JSON(JSON::Object{}), {}));
    ASSERT_TRUE(until([&] { return untrusted->done; }));
    EXPECT_EQ(untrusted->error, "other");
    EXPECT_EQ(relay.requests().size(), 2u);
}

TEST_F(PairingTest, InterruptedPairingIsCancelledAtStartAndAtTheNextPair) {
    answer = [](const Request&) {
        return test::TestRelay::json(200, JSON(JSON::Object{}));
    };
    // At start: the credentials say a bootstrap token is left.
    vault->credentials->hasBootstrap = true;
    vault->secrets["bootstrap-token"] = "old-boot";
    vault->secrets["pending-device-token"] = "old-pending";
    make();
    startConnections();
    ASSERT_TRUE(until([&] { return agent->status() == "Unpaired"; }));
    ASSERT_THAT(relay.paths(), ElementsAre(QStringLiteral("/v1/pairing/cancel")));
    EXPECT_EQ(relay.requests()[0].bearer, QByteArrayLiteral("old-boot"));
    EXPECT_EQ(relay.requests()[0].body, JSON(JSON::Object{}));
    EXPECT_FALSE(agent->pending());
    EXPECT_TRUE(vault->secrets.empty());

    // At the next pair(): a bootstrap token written after the credentials were read.
    vault->secrets["bootstrap-token"] = "older-boot";
    agent->pair();
    ASSERT_TRUE(until([&] { return relay.requests().size() == 2; }));
    ASSERT_TRUE(until([&] { return agent->status() == "Unpaired" && !agent->pending(); }));
    EXPECT_EQ(relay.requests()[1].path, QStringLiteral("/v1/pairing/cancel"));
    EXPECT_EQ(relay.requests()[1].bearer, QByteArrayLiteral("older-boot"));
    EXPECT_FALSE(agent->pairing());
}

TEST_F(PairingTest, CancellingWhileOfflineKeepsTheWarning) {
    mac.defaults.values["relay"] = std::string("https://127.0.0.1:1");
    vault->secrets["bootstrap-token"] = "boot-1";
    make();
    startConnections();
    agent->cancelPairing();
    ASSERT_TRUE(until([&] { return agent->status() == RevocationState::warning; }));
    EXPECT_TRUE(agent->pending());
    EXPECT_FALSE(agent->pairing());
    EXPECT_EQ(vault->secret("bootstrap-token"), std::optional<std::string>("boot-1"));
    EXPECT_EQ(JSON::parse(readFile(directory() / "revocation.json")),
              JSON(JSON::Object{{"pending", JSON(true)}}));
    // Nothing starts while it waits for a person to confirm.
    agent->pair();
    quietly();
    EXPECT_FALSE(agent->pairing());
}

TEST_F(PairingTest, NoRelayNoPairingAndTheDashboardNeedsAnAddress) {
    mac.defaults.values["relay"] = std::string("http://relay.test");
    make();
    startConnections();
    agent->pair();
    ASSERT_TRUE(until([&] { return agent->status() == Agent::onlineSetupMissingText; }));
    EXPECT_FALSE(agent->pairing());
    EXPECT_FALSE(agent->pairingURL().has_value());
    agent->dashboard();
    EXPECT_EQ(agent->status(), Agent::relayAddressMissingText);
    EXPECT_TRUE(mac.prompts.opened.empty());
}

} // namespace
} // namespace corvane::agent_test
