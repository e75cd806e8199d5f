#include "agent/Agent.h"

#include "actions/DeviceCapabilityReport.h"
#include "actions/KeychainStore.h"
#include "agent/AgentDetail.h"
#include "agent/RelayOrigin.h"
#include "core/ContractError.h"
#include "core/Detached.h"
#include "core/PairingSchedule.h"
#include "core/WireTime.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

// Relay requests and pairing: the origins, the one request operation, the pairing task with its
// polls and fresh codes, and the cancellation of an unfinished pairing.

namespace corvane {

using namespace agent_detail;

namespace {

constexpr const char* bootstrapAccount = KeychainStore::bootstrapToken;
constexpr const char* pendingAccount = KeychainStore::pendingDeviceToken;

// Bodies are built outside the coroutines (GCC 12 and braced lists with literal keys).
JSON codeRequest(const std::string& deviceName) {
    return JSON(JSON::Object{{"device_name", JSON(deviceName)},
                             {"kind", JSON("mac")},
                             {"agent_version", JSON(DeviceCapabilityReport::version())}});
}

JSON redeemRequest(const std::string& pendingToken) {
    return JSON(JSON::Object{{"device_token", JSON(pendingToken)}});
}

const std::string& requiredString(const JSON& reply, const char* member) {
    const std::string* value = reply.stringMember(member);
    if (value == nullptr) {
        throw ContractError("invalid_pairing_response");
    }
    return *value;
}

std::chrono::milliseconds roundedUp(PairingSchedule::Delay delay) {
    return std::chrono::milliseconds(std::llround(std::ceil(delay.count() * 1000.0)));
}

// Codes kept expiring as soon as they arrived: pairing stops asking for more.
class CodesExpiredAtOnce final : public std::runtime_error {
public:
    CodesExpiredAtOnce()
        : std::runtime_error(std::to_string(PairingSchedule::expiriesAtOnce) +
                             " pairing codes in a row expired within " +
                             std::to_string(PairingSchedule::shortestLife.count()) +
                             " s of their request") {}
};

bool expiredAtOnce(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const CodesExpiredAtOnce&) {
        return true;
    } catch (...) {
        return false;
    }
}

// The connection's back-off: caps of 2, 4, 8, 16, 32 and 60 s.
std::chrono::milliseconds backoffCap(int attempt) {
    return std::min<std::chrono::milliseconds>(std::chrono::seconds(1LL << attempt),
                                               Agent::reconnectCap);
}

std::string secondsText(std::chrono::milliseconds wait) {
    const auto tenths = (wait.count() + 50) / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

} // namespace

QUrl Agent::origin() const {
    return RelayOrigin::origin(relay_);
}

QUrl Agent::dashboardOrigin() const {
    return RelayOrigin::dashboard(relay_, options_.relayOrigin, options_.dashboardOrigin);
}

std::optional<QUrl> Agent::pairingURL() const {
    if (code_.empty()) {
        return std::nullopt;
    }
    try {
        return RelayOrigin::pairingLink(dashboardOrigin(), code_);
    } catch (const ContractError&) {
        return std::nullopt;
    }
}

QCoro::Task<JSON> Agent::request(std::string path, JSON body, std::optional<std::string> bearer) {
    const QUrl url = RelayOrigin::endpoint(origin(), QString::fromStdString(path));
    co_return co_await relayClient().post(url, std::move(body), std::move(bearer));
}

void Agent::continuePairing() {
    if (const std::optional<QUrl> link = pairingURL()) {
        platform_.prompts.openInBrowser(link->toString(QUrl::FullyEncoded).toStdString());
    }
}

void Agent::dashboard() {
    try {
        platform_.prompts.openInBrowser(
            dashboardOrigin().toString(QUrl::FullyEncoded).toStdString());
    } catch (const ContractError&) {
        setStatus(relayAddressMissingText);
    }
}

void Agent::pair() {
    if (!connectionReady_ || pending_ || token() || pairing_ || startingPairing_) {
        return;
    }
    startingPairing_ = true;
    const QPointer<Agent> self(this);
    startDetached(beginPairing(self), [self](std::exception_ptr error) {
        if (self) {
            self->startingPairing_ = false;
            self->setStatus(self->failureText(error));
        }
    });
}

QCoro::Task<> Agent::beginPairing(QPointer<Agent> agent) {
    // A bootstrap token left from an earlier run means that pairing never finished: the relay is
    // told to drop it before anything new starts.
    std::optional<std::string> bootstrap;
    std::exception_ptr failure;
    try {
        bootstrap = co_await agent->credentials_.read(bootstrapAccount);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!agent) {
        co_return;
    }
    agent->startingPairing_ = false;
    if (failure) {
        agent->setStatus(agent->failureText(failure));
        co_return;
    }
    if (agent->pending_ || agent->token() || agent->pairing_) {
        co_return;
    }
    if (bootstrap) {
        agent->cancelPairing();
        co_return;
    }
    try {
        agent->origin();
    } catch (const ContractError&) {
        agent->setStatus(onlineSetupMissingText);
        co_return;
    }
    agent->publish(Field::Pairing, agent->pairing_, true);
    const std::uint64_t generation = agent->renewWorker();
    startDetached(pairingTask(agent, agent->worker_, generation), {});
}

QCoro::Task<> Agent::pairingTask(QPointer<Agent> agent, TaskHandle handle,
                                 std::uint64_t generation) {
    std::exception_ptr failure;
    try {
        co_await agent->pairingSteps(handle, generation);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure || !agent || !agent->current(handle, generation)) {
        co_return;
    }
    // Giving up: the codes are not shown, only that the attempt ended.
    const std::string cause = causeOf(failure);
    agent->report("pairing gave up: " + (cause.empty() ? codeOf(failure) : cause));
    agent->publish(Field::Pairing, agent->pairing_, false);
    agent->setStatus(expiredAtOnce(failure) ? pairingCodesExpiredText : pairingInterruptedText);
    if (!agent->options_.unattended.value_or(false)) {
        co_return;
    }
    // Nobody can press Connect: the next attempt comes after the connection's back-off, so that a
    // relay that was briefly away is paired with once it is back.
    agent->pairingRetries_ = std::min(agent->pairingRetries_ + 1, backoffSteps);
    const std::chrono::milliseconds wait = agent->reconnectWait(backoffCap(agent->pairingRetries_));
    agent->report("pairing again in " + secondsText(wait));
    const bool waited = co_await TaskHandle::sleep(handle, &agent->platform_.clock, wait);
    if (waited && agent && agent->current(handle, generation)) {
        agent->pair();
    }
}

QCoro::Task<> Agent::pairingSteps(TaskHandle handle, std::uint64_t generation) {
    QPointer<Agent> self(this);
    const auto live = [&] {
        return self && current(handle, generation);
    };
    origin();
    co_await storeDefault("relay", relay_);
    const std::string name = platform_.workspace.hostName();
    const std::string deviceName = name.empty() ? std::string("Mac") : name;
    Clock* clock = &platform_.clock;
    int expiredInARow = 0;
    for (;;) {
        if (!live()) {
            co_return;
        }
        setStatus("Requesting a pairing code…");
        const Clock::MonotonicTime requested = clock->monotonicNow();
        const JSON reply = co_await request("v1/pairing/code", codeRequest(deviceName), {});
        if (!live()) {
            co_return;
        }
        pipeline_.validator().validate("PairingCodeResponse", reply);
        const std::string bootstrap = requiredString(reply, "bootstrap_token");
        const std::string deviceID = requiredString(reply, "device_id");
        const std::optional<WireTime::Instant> expiresAt =
            WireTime::parse(requiredString(reply, "expires_at"));
        if (!expiresAt) {
            throw ContractError("invalid_pairing_response");
        }
        const std::string* shownCode = reply.stringMember("code");

        const std::string pendingToken = co_await credentials_.storeBootstrap(bootstrap);
        if (!live()) {
            co_return;
        }
        publish(Field::Code, code_, shownCode != nullptr ? *shownCode : std::string());
        setStatus("Approve this Mac in your browser");
        continuePairing();

        const bool redeemed =
            co_await redeem(handle, generation, bootstrap, pendingToken, deviceID, *expiresAt);
        if (redeemed || !live()) {
            co_return;
        }
        // The code expired: its tokens go before a fresh one is asked for.
        std::vector<std::string> expired{pendingAccount, bootstrapAccount};
        co_await credentials_.remove(std::move(expired));
        if (!live()) {
            co_return;
        }
        const bool atOnce = clock->monotonicNow() - requested < PairingSchedule::shortestLife;
        expiredInARow = atOnce ? expiredInARow + 1 : 0;
        const std::optional<std::chrono::seconds> wait =
            PairingSchedule::renewalDelay(expiredInARow);
        if (!wait) {
            throw CodesExpiredAtOnce();
        }
        if (*wait > std::chrono::seconds::zero()) {
            setStatus("Requesting a pairing code…");
            if (!co_await TaskHandle::sleep(handle, clock, *wait)) {
                co_return;
            }
        }
    }
}

QCoro::Task<bool> Agent::redeem(TaskHandle handle, std::uint64_t generation, std::string bootstrap,
                                std::string pendingToken, std::string deviceID,
                                WireTime::Instant expiresAt) {
    QPointer<Agent> self(this);
    const auto live = [&] {
        return self && current(handle, generation);
    };
    Clock* clock = &platform_.clock;
    while (clock->now() < expiresAt) {
        std::optional<JSON> reply;
        std::string refusal;
        try {
            reply = co_await request("v1/pairing/redeem", redeemRequest(pendingToken), bootstrap);
        } catch (const ContractError& error) {
            if (error.code() != "pairing_pending" && error.code() != "pairing_expired") {
                throw;
            }
            refusal = error.code();
        }
        if (!live()) {
            co_return false;
        }
        if (refusal == "pairing_expired") {
            co_return false;
        }
        if (reply) {
            pipeline_.validator().validate("PairingRedeemResponse", *reply);
            const std::string* redeemedID = reply->stringMember("device_id");
            if (redeemedID == nullptr || *redeemedID != deviceID) {
                throw ContractError("device_identity_mismatch");
            }
            co_await storeDefault("device-id", deviceID);
            if (!live()) {
                co_return false;
            }
            co_await credentials_.keepDeviceToken(pendingToken);
            if (!live()) {
                co_return false;
            }
            credentials_.setDeviceToken(pendingToken);
            pairingRetries_ = 0;
            publish(Field::Code, code_, std::string());
            publish(Field::Pairing, pairing_, false);
            connect();
            co_return true;
        }
        const std::optional<PairingSchedule::Delay> delay =
            PairingSchedule::nextDelay(clock->now(), expiresAt, true, randomSample());
        if (!delay) {
            co_return false;
        }
        const bool waited = co_await TaskHandle::sleep(handle, clock, roundedUp(*delay));
        if (!waited || !live()) {
            co_return false;
        }
    }
    co_return false;
}

void Agent::cancelPairing() {
    if (token()) {
        // A paired computer is disconnected through revocation.
        return;
    }
    abandonWorker();
    publish(Field::Code, code_, std::string());
    const QPointer<Agent> self(this);
    startDetached(cancellation(self), [self](std::exception_ptr error) {
        if (self) {
            self->failureCode(error);
            self->cancellationFailed();
        }
    });
}

void Agent::cancellationFailed() {
    publish(Field::Pairing, pairing_, false);
    setStatus(RevocationState::warning);
}

QCoro::Task<> Agent::cancellation(QPointer<Agent> agent) {
    RevocationState* state = &agent->pipeline_.revocation();
    std::function<void()> begin = [state] {
        state->begin();
    };
    std::exception_ptr failure;
    try {
        co_await agent->pipeline_.durably(std::move(begin));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!agent) {
        co_return;
    }
    if (failure) {
        agent->setStatus(agent->failureText(failure));
        co_return;
    }
    agent->publish(Field::Pending, agent->pending_, true);
    agent->setStatus("Cancelling connection…");

    std::optional<std::string> bootstrap;
    try {
        bootstrap = co_await agent->credentials_.read(bootstrapAccount);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!agent) {
        co_return;
    }
    if (failure) {
        agent->failureCode(failure);
        agent->cancellationFailed();
        co_return;
    }
    if (bootstrap) {
        try {
            co_await agent->request("v1/pairing/cancel", emptyObject(), *bootstrap);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!agent) {
            co_return;
        }
        if (failure) {
            // The relay has not heard: the pending revocation stays until a person confirms it.
            agent->failureCode(failure);
            agent->cancellationFailed();
            co_return;
        }
    }
    // A failing wipe reaches the error handler, which shows the warning.
    co_await agent->wipe();
    if (agent) {
        agent->setStatus("Unpaired");
        if (agent->options_.unattended.value_or(false)) {
            // The interrupted pairing is gone; nobody else would start the next one.
            agent->pair();
        }
    }
}

} // namespace corvane
