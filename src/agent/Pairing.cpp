#include "agent/Pairing.h"

#include "actions/DeviceCapabilityReport.h"
#include "actions/KeychainStore.h"
#include "agent/Agent.h"
#include "agent/AgentDetail.h"
#include "core/ContractError.h"
#include "core/Detached.h"
#include "core/PairingSchedule.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

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

Pairing::Pairing(Agent& agent)
    : agent_(agent) {}

void Pairing::begin() {
    const Agent& agent = agent_;
    if (!agent.connectionReady() || agent.pending() || agent.token() || agent.pairing() ||
        starting_) {
        return;
    }
    starting_ = true;
    const QPointer<Pairing> self(this);
    startDetached(beginning(self), [self](std::exception_ptr error) {
        if (self) {
            self->starting_ = false;
            self->agent_.setStatus(self->agent_.failureText(error));
        }
    });
}

QCoro::Task<> Pairing::beginning(QPointer<Pairing> self) {
    // A bootstrap token left from an earlier run means that pairing never finished: the relay is
    // told to drop it before anything new starts.
    std::optional<std::string> bootstrap;
    std::exception_ptr failure;
    try {
        bootstrap = co_await self->agent_.credentials_.read(bootstrapAccount);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self) {
        co_return;
    }
    Agent& agent = self->agent_;
    self->starting_ = false;
    if (failure) {
        agent.setStatus(agent.failureText(failure));
        co_return;
    }
    if (agent.pending() || agent.token() || agent.pairing()) {
        co_return;
    }
    if (bootstrap) {
        self->cancel();
        co_return;
    }
    try {
        agent.origin();
    } catch (const ContractError&) {
        agent.setStatus(Agent::onlineSetupMissingText);
        co_return;
    }
    agent.publish(Agent::Field::Pairing, agent.pairing_, true);
    const std::uint64_t generation = agent.renewWorker();
    startDetached(pairingTask(self, agent.worker_, generation), {});
}

QCoro::Task<> Pairing::pairingTask(QPointer<Pairing> self, TaskHandle handle,
                                   std::uint64_t generation) {
    std::exception_ptr failure;
    try {
        co_await self->steps(handle, generation);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure || !self || !self->agent_.current(handle, generation)) {
        co_return;
    }
    Agent& agent = self->agent_;
    // Giving up: the codes are not shown, only that the attempt ended.
    const std::string cause = causeOf(failure);
    agent.report("pairing gave up: " + (cause.empty() ? codeOf(failure) : cause));
    agent.publish(Agent::Field::Pairing, agent.pairing_, false);
    agent.setStatus(expiredAtOnce(failure) ? Agent::pairingCodesExpiredText
                                           : Agent::pairingInterruptedText);
    if (!agent.options_.unattended.value_or(false)) {
        co_return;
    }
    // Nobody can press Connect: the next attempt comes after the connection's back-off, so that a
    // relay that was briefly away is paired with once it is back.
    self->retries_ = std::min(self->retries_ + 1, Agent::backoffSteps);
    const std::chrono::milliseconds wait = agent.reconnectWait(backoffCap(self->retries_));
    agent.report("pairing again in " + secondsText(wait));
    const bool waited = co_await TaskHandle::sleep(handle, &agent.platform_.clock, wait);
    if (waited && self && self->agent_.current(handle, generation)) {
        self->begin();
    }
}

QCoro::Task<> Pairing::steps(TaskHandle handle, std::uint64_t generation) {
    QPointer<Pairing> self(this);
    Agent& agent = agent_;
    const auto live = [&] {
        return self && agent.current(handle, generation);
    };
    agent.origin();
    co_await agent.storeDefault("relay", agent.relay());
    if (!live()) {
        co_return;
    }
    const std::string name = agent.platform_.workspace.hostName();
    const std::string deviceName = name.empty() ? std::string("Mac") : name;
    Clock* clock = &agent.platform_.clock;
    int expiredInARow = 0;
    for (;;) {
        if (!live()) {
            co_return;
        }
        agent.setStatus("Requesting a pairing code…");
        const Clock::MonotonicTime requested = clock->monotonicNow();
        const JSON reply = co_await agent.request("v1/pairing/code", codeRequest(deviceName), {});
        if (!live()) {
            co_return;
        }
        agent.pipeline_.validator().validate("PairingCodeResponse", reply);
        const std::string bootstrap = requiredString(reply, "bootstrap_token");
        const std::string deviceID = requiredString(reply, "device_id");
        const std::optional<WireTime::Instant> expiresAt =
            WireTime::parse(requiredString(reply, "expires_at"));
        if (!expiresAt) {
            throw ContractError("invalid_pairing_response");
        }
        const std::string* shownCode = reply.stringMember("code");

        const std::string pendingToken = co_await agent.credentials_.storeBootstrap(bootstrap);
        if (!live()) {
            co_return;
        }
        agent.publish(Agent::Field::Code, agent.code_,
                      shownCode != nullptr ? *shownCode : std::string());
        agent.setStatus("Approve this Mac in your browser");
        agent.continuePairing();

        const bool redeemed =
            co_await redeem(handle, generation, bootstrap, pendingToken, deviceID, *expiresAt);
        if (redeemed || !live()) {
            co_return;
        }
        // The code expired: its tokens go before a fresh one is asked for.
        std::vector<std::string> expired{pendingAccount, bootstrapAccount};
        co_await agent.credentials_.remove(std::move(expired));
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
            agent.setStatus("Requesting a pairing code…");
            if (!co_await TaskHandle::sleep(handle, clock, *wait)) {
                co_return;
            }
        }
    }
}

QCoro::Task<bool> Pairing::redeem(TaskHandle handle, std::uint64_t generation,
                                  std::string bootstrap, std::string pendingToken,
                                  std::string deviceID, WireTime::Instant expiresAt) {
    QPointer<Pairing> self(this);
    Agent& agent = agent_;
    const auto live = [&] {
        return self && agent.current(handle, generation);
    };
    Clock* clock = &agent.platform_.clock;
    while (clock->now() < expiresAt) {
        std::optional<JSON> reply;
        std::string refusal;
        try {
            reply =
                co_await agent.request("v1/pairing/redeem", redeemRequest(pendingToken), bootstrap);
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
            agent.pipeline_.validator().validate("PairingRedeemResponse", *reply);
            const std::string* redeemedID = reply->stringMember("device_id");
            if (redeemedID == nullptr || *redeemedID != deviceID) {
                throw ContractError("device_identity_mismatch");
            }
            co_await agent.storeDefault("device-id", deviceID);
            if (!live()) {
                co_return false;
            }
            co_await agent.credentials_.keepDeviceToken(pendingToken);
            if (!live()) {
                co_return false;
            }
            agent.credentials_.setDeviceToken(pendingToken);
            retries_ = 0;
            agent.publish(Agent::Field::Code, agent.code_, std::string());
            agent.publish(Agent::Field::Pairing, agent.pairing_, false);
            agent.connect();
            co_return true;
        }
        const std::optional<PairingSchedule::Delay> delay =
            PairingSchedule::nextDelay(clock->now(), expiresAt, true, agent.randomSample());
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

void Pairing::cancel() {
    Agent& agent = agent_;
    if (agent.token()) {
        // A paired computer is disconnected through revocation.
        return;
    }
    agent.abandonWorker();
    agent.publish(Agent::Field::Code, agent.code_, std::string());
    const QPointer<Pairing> self(this);
    startDetached(cancellation(self), [self](std::exception_ptr error) {
        if (self) {
            self->agent_.failureCode(error);
            self->cancellationFailed();
        }
    });
}

void Pairing::cancellationFailed() {
    agent_.publish(Agent::Field::Pairing, agent_.pairing_, false);
    agent_.setStatus(RevocationState::warning);
}

QCoro::Task<> Pairing::cancellation(QPointer<Pairing> self) {
    RevocationState* state = &self->agent_.pipeline_.revocation();
    std::function<void()> begin = [state] {
        state->begin();
    };
    std::exception_ptr failure;
    try {
        co_await self->agent_.pipeline_.durably(std::move(begin));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self) {
        co_return;
    }
    if (failure) {
        self->agent_.setStatus(self->agent_.failureText(failure));
        co_return;
    }
    self->agent_.publish(Agent::Field::Pending, self->agent_.pending_, true);
    self->agent_.setStatus("Cancelling connection…");

    std::optional<std::string> bootstrap;
    try {
        bootstrap = co_await self->agent_.credentials_.read(bootstrapAccount);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self) {
        co_return;
    }
    if (failure) {
        self->agent_.failureCode(failure);
        self->cancellationFailed();
        co_return;
    }
    if (bootstrap) {
        try {
            co_await self->agent_.request("v1/pairing/cancel", emptyObject(), *bootstrap);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!self) {
            co_return;
        }
        if (failure) {
            // The relay has not heard: the pending revocation stays until a person confirms it.
            self->agent_.failureCode(failure);
            self->cancellationFailed();
            co_return;
        }
    }
    // A failing wipe reaches the error handler, which shows the warning.
    co_await self->agent_.wipe();
    if (self) {
        self->agent_.setStatus("Unpaired");
        if (self->agent_.options_.unattended.value_or(false)) {
            // The interrupted pairing is gone; nobody else would start the next one.
            self->begin();
        }
    }
}

} // namespace corvane
