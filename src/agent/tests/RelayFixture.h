#pragma once

// An Agent on the fakes of AgentFixture.h that talks to a real TLS relay on 127.0.0.1 (TestRelay):
// pairing over HTTPS and sessions over WSS, with every wait of the Agent in virtual time and the
// random draws fixed by the test.

#include "AgentFixture.h"

#include "support/TestRelay.h"

#include <QElapsedTimer>

namespace corvane::agent_test {

constexpr const char* relayDeviceID = "3f2504e0-4f89-41d3-9a0c-0305e82c3301";
constexpr const char* relayDeviceToken = "device-token-0123456789abcdefghijklmnopqrstu";

class RelayTest : public AgentTest {
protected:
    void SetUp() override {
        AgentTest::SetUp();
        mac.defaults.values["relay"] = relay.origin();
        options.relayCertificates = test::TestRelay::authority();
        options.random = [sample = sample] {
            return *sample;
        };
        mac.prompts.browserOpens = true;
    }

    // The Agent goes first, then its session tasks get to see it gone: their sockets resume them
    // through the event loop.
    void TearDown() override {
        agent.reset();
        relay.clear();
        quietly(std::chrono::milliseconds(50));
    }

    // A paired computer: the device token in the keychain, the device id in the defaults.
    void paired() {
        vault->credentials->device = relayDeviceToken;
        mac.defaults.values["device-id"] = std::string(relayDeviceID);
    }

    // Runs the event loop (the relay, the sockets) and the Agent's threads until `condition`
    // holds; virtual time stands still. Generous, for a loaded machine under the sanitizers.
    bool until(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        QElapsedTimer timer;
        timer.start();
        while (!condition()) {
            if (timer.elapsed() > limit.count()) {
                return false;
            }
            if (agent) {
                agent->waitForWorkers();
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        return true;
    }

    // Lets the network settle: runs the event loop for a moment of real time (used only to show
    // that something does NOT happen).
    void quietly(std::chrono::milliseconds span = std::chrono::milliseconds(150)) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < span.count()) {
            if (agent) {
                agent->waitForWorkers();
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
    }

    // Virtual time on by `duration`, a quarter second at a time, with the network settling after
    // each.
    void run(std::chrono::milliseconds duration) {
        const std::chrono::milliseconds step{250};
        while (duration > std::chrono::milliseconds::zero()) {
            const std::chrono::milliseconds now = std::min(step, duration);
            settle();
            mac.clock.advance(now);
            settle();
            duration -= now;
        }
    }

    // The relay sessions opened so far.
    std::size_t sessionCount() const { return relay.sessions().size(); }
    test::TestRelaySession& session() { return *relay.latest(); }

    // Starts the paired Agent and waits for its first session's hello and heartbeat.
    void connectPaired() {
        paired();
        make();
        startConnections();
        ASSERT_TRUE(until([&] { return sessionCount() == 1 && session().raw().size() >= 2; }));
    }

    // Sends "ready" for the stored device and waits for the Agent to be online.
    void ready() {
        session().send(
            JSON(JSON::Object{{"type", JSON("ready")}, {"device_id", JSON(relayDeviceID)}}));
        ASSERT_TRUE(until([&] { return agent->online(); }));
    }

    test::TestRelay relay;
    std::shared_ptr<double> sample = std::make_shared<double>(0.5);
};

} // namespace corvane::agent_test
