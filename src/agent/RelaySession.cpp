#include "agent/RelaySession.h"

#include "actions/CharacterPrefix.h"
#include "actions/DeviceCapabilityReport.h"
#include "agent/Agent.h"
#include "agent/AgentDetail.h"
#include "agent/RelayOrigin.h"
#include "core/ContractError.h"
#include "core/Detached.h"
#include "core/Envelope.h"

#include <QNetworkRequest>

#include <algorithm>
#include <stdexcept>

namespace corvane {

using namespace agent_detail;

namespace {

// Messages are built outside the coroutines (GCC 12 and braced lists with literal keys).
JSON helloMessage(const std::string& token, const std::string& deviceName,
                  const std::string& osVersion, const JSON& capabilities, WireTime::Instant now) {
    return envelope("hello",
                    JSON::Object{{"device_token", JSON(token)},
                                 {"agent_version", JSON(DeviceCapabilityReport::version())},
                                 {"device_name", JSON(deviceName)},
                                 {"macos_version", JSON(characterPrefix(osVersion, 40))},
                                 {"capabilities", capabilities}},
                    now);
}

JSON heartbeatMessage(const JSON& capabilities, WireTime::Instant now) {
    return envelope("heartbeat", JSON::Object{{"capabilities", capabilities}}, now);
}

JSON decodedMessage(const QByteArray& bytes) {
    try {
        return JSON::parse(std::string(bytes.constData(), std::size_t(bytes.size())));
    } catch (const std::exception&) {
        throw ContractError("invalid_message");
    }
}

} // namespace

RelaySession::RelaySession(Agent& agent)
    : agent_(agent) {}

RelaySession::~RelaySession() = default;

JSON RelaySession::capabilities() const {
    return DeviceCapabilityReport::read(agent_.platform_, agent_.executor_.desktop().active());
}

void RelaySession::adopt(std::shared_ptr<RelaySocket> socket) {
    close();
    socket_ = std::move(socket);
}

void RelaySession::close() {
    if (std::shared_ptr<RelaySocket> socket = std::move(socket_)) {
        socket_.reset();
        socket->close(goingAway);
    }
}

QCoro::Task<> RelaySession::send(JSON message) {
    agent_.pipeline_.validator().validate("DeviceMessage", message);
    if (!socket_) {
        throw ContractError("device_offline");
    }
    std::string text = message.data();
    // The socket stays alive for the send even if the session drops it meanwhile; nothing of the
    // session's is touched once the send suspends (it may be gone after it).
    const std::shared_ptr<RelaySocket> socket = socket_;
    co_await socket->sendText(std::move(text));
}

void RelaySession::reportNow() {
    if (!socket_ || !agent_.online()) {
        return;
    }
    JSON report = capabilities();
    if (report == reported_) {
        return;
    }
    reported_ = report;
    // A failed send ends the session through its receive loop; nothing to do here.
    startDetached(send(heartbeatMessage(std::move(report), agent_.platform_.clock.now())), {});
}

void RelaySession::start(TaskHandle handle, std::uint64_t generation) {
    const QPointer<RelaySession> self(this);
    startDetached(connectLoop(self, std::move(handle), generation),
                  [self](std::exception_ptr error) {
                      if (self) {
                          self->agent_.report("the relay connection stopped: " + causeOf(error));
                      }
                  });
}

QCoro::Task<> RelaySession::connectLoop(QPointer<RelaySession> self, TaskHandle handle,
                                        std::uint64_t generation) {
    Clock* clock = &self->agent_.platform_.clock;
    // Current: not cancelled, the same generation, still paired and no revocation waiting.
    const auto live = [&] {
        return self && self->agent_.current(handle, generation) && self->agent_.token() &&
               !self->agent_.pending();
    };
    int attempt = 0;
    while (live()) {
        std::exception_ptr failure;
        try {
            co_await self->connected(handle, generation);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!self) {
            co_return;
        }
        std::chrono::milliseconds cap = Agent::reconnectAfterEnd;
        if (failure) {
            if (self->agent_.current(handle, generation)) {
                self->agent_.setStatus(self->agent_.failureText(failure));
            }
            attempt = std::min(attempt + 1, Agent::backoffSteps);
            cap = std::min<std::chrono::milliseconds>(std::chrono::seconds(1LL << attempt),
                                                      Agent::reconnectCap);
        } else {
            // A normal end starts the back-off again.
            attempt = 1;
        }
        if (!live()) {
            co_return;
        }
        const bool waited =
            co_await TaskHandle::sleep(handle, clock, self->agent_.reconnectWait(cap));
        if (!waited) {
            co_return;
        }
    }
}

QCoro::Task<> RelaySession::connected(TaskHandle handle, std::uint64_t generation) {
    QPointer<RelaySession> self(this);
    Agent& agent = agent_;
    Platform& platform = agent.platform_;
    const QUrl url = RelayOrigin::webSocket(agent.origin());
    const std::optional<std::string> deviceID = platform.defaults.stringValue("device-id");
    if (!deviceID) {
        throw ContractError("device_identity_mismatch");
    }
    QNetworkRequest request(url);
    request.setRawHeader(QByteArrayLiteral("X-Velto-Device-ID"),
                         QByteArray::fromStdString(*deviceID));
    auto socket = std::make_shared<WebSocketRelaySocket>(agent.relayClient().tls(), platform.clock,
                                                         agent.relayClient().trust());
    close();
    socket_ = socket;
    agent.setStatus("Connecting…");
    // The watchdog and the heartbeats belong to this session alone.
    const TaskHandle session = TaskHandle::make();
    const TaskHandle opening = TaskHandle::make();
    startDetached(openingLimit(socket, opening, &platform.clock), {});

    std::exception_ptr failure;
    try {
        co_await socket->open(request);
        opening.cancel();
        if (!self) {
            throw std::runtime_error("the agent went away");
        }
        co_await sessionBody(socket, handle, session, generation);
    } catch (...) {
        failure = std::current_exception();
    }
    // Every way out: the session's tasks stop and the socket closes.
    opening.cancel();
    session.cancel();
    socket->close(goingAway);
    if (self && agent.generation_ == generation) {
        if (socket_ == socket) {
            socket_.reset();
        }
        agent.publish(Agent::Field::Online, agent.online_, false);
    }
    if (!failure) {
        co_return;
    }
    if (self && socket->relayCloseCode() == revokedByRelay) {
        // The relay revoked this computer by closing; without its device token the connect loop
        // stops.
        agent.report("the relay closed the session with " + std::to_string(revokedByRelay) +
                     ": this computer was revoked");
        co_await agent.wipe();
        co_return;
    }
    std::rethrow_exception(failure);
}

QCoro::Task<> RelaySession::sessionBody(std::shared_ptr<WebSocketRelaySocket> socket,
                                        TaskHandle handle, TaskHandle session,
                                        std::uint64_t generation) {
    QPointer<RelaySession> self(this);
    Agent& agent = agent_;
    if (!agent.current(handle, generation) || !agent.token()) {
        co_return;
    }
    Platform& platform = agent.platform_;
    const JSON first = capabilities();
    const std::string host = platform.workspace.hostName();
    const JSON hello =
        helloMessage(*agent.token(), host.empty() ? std::string("Mac") : host,
                     platform.workspace.osVersion().text, first, platform.clock.now());
    co_await sendOn(socket, hello);
    if (!self || !agent.current(handle, generation)) {
        co_return;
    }
    co_await sendOn(socket, heartbeatMessage(first, platform.clock.now()));
    if (!self || !agent.current(handle, generation)) {
        co_return;
    }
    reported_ = first;
    Clock* clock = &platform.clock;
    startDetached(handshakeWatchdog(self, session, generation, socket, clock), {});
    startDetached(heartbeats(self, session, generation, socket, clock), {});
    for (;;) {
        std::optional<QByteArray> bytes = co_await socket->receive();
        if (!self || !agent.current(handle, generation)) {
            co_return;
        }
        if (!bytes) {
            throw std::runtime_error(socket->endReason());
        }
        // Named first: awaited inside a condition, GCC 12 left such frames unusable (seen under
        // ASan with the opening limit).
        const bool ended = co_await received(std::move(*bytes), generation);
        if (ended) {
            co_return;
        }
        if (!self) {
            co_return;
        }
    }
}

QCoro::Task<bool> RelaySession::received(QByteArray bytes, std::uint64_t generation) {
    Agent& agent = agent_;
    JSON message = decodedMessage(bytes);
    agent.pipeline_.validator().validate("RelayMessage", message);
    const std::string* type = message.stringMember("type");
    if (type == nullptr) {
        throw ContractError("invalid_message");
    }
    if (*type == "ready") {
        const std::string* device = message.stringMember("device_id");
        const std::optional<std::string> stored = agent.platform_.defaults.stringValue("device-id");
        if (device == nullptr || !stored || *device != *stored) {
            throw ContractError("device_identity_mismatch");
        }
        agent.publish(Agent::Field::Online, agent.online_, true);
        agent.setStatus("Mac connected");
    } else if (*type == "revoke") {
        co_await agent.wipe();
        co_return true;
    } else if (*type == "bye") {
        co_return true;
    } else if (*type == "command") {
        co_await agent.execute(std::move(message), generation);
    }
    // Any other type is a newer relay's: ignored.
    co_return false;
}

QCoro::Task<> RelaySession::sendOn(std::shared_ptr<WebSocketRelaySocket> socket, JSON message) {
    agent_.pipeline_.validator().validate("DeviceMessage", message);
    // Nothing of the session's is touched once the send suspends: it may be gone after it.
    co_await socket->sendText(message.data());
}

QCoro::Task<> RelaySession::openingLimit(std::shared_ptr<WebSocketRelaySocket> socket,
                                         TaskHandle opening, Clock* clock) {
    const bool expired = co_await TaskHandle::sleep(opening, clock, openingWait);
    if (expired) {
        socket->abort("the relay session did not open within 60 seconds");
    }
}

QCoro::Task<> RelaySession::handshakeWatchdog(QPointer<RelaySession> self, TaskHandle session,
                                              std::uint64_t generation,
                                              std::shared_ptr<WebSocketRelaySocket> socket,
                                              Clock* clock) {
    const bool waited = co_await TaskHandle::sleep(session, clock, handshakeWait);
    if (!waited) {
        co_return;
    }
    if (self && self->agent_.generation() == generation && !self->agent_.online()) {
        // The receive loop then ends with an error and the connect loop backs off.
        socket->close(goingAway);
    }
}

QCoro::Task<> RelaySession::heartbeats(QPointer<RelaySession> self, TaskHandle session,
                                       std::uint64_t generation,
                                       std::shared_ptr<WebSocketRelaySocket> socket, Clock* clock) {
    Clock::MonotonicTime last = clock->monotonicNow();
    Clock::MonotonicTime pinged = last;
    for (;;) {
        const bool waited = co_await TaskHandle::sleep(session, clock, heartbeatCheck);
        if (!waited) {
            co_return;
        }
        if (!self || self->agent_.generation() != generation) {
            co_return;
        }
        // The relay need not send anything while idle, so a quiet one is pinged; any frame, the
        // pong included, counts as life. A stopped relay keeps its TCP connection open, so only
        // this notices it.
        const Clock::MonotonicTime now = clock->monotonicNow();
        if (now - socket->lastHeard() >= heartbeatSilence) {
            socket->abort("the relay was silent for " + std::to_string(heartbeatSilence.count()) +
                          " seconds");
            co_return;
        }
        if (now - socket->lastHeard() >= pingAfter && now - pinged >= pingAfter) {
            socket->ping();
            pinged = now;
        }
        JSON report = self->capabilities();
        if (report == self->reported_ && clock->monotonicNow() - last < heartbeatSilence) {
            continue;
        }
        self->reported_ = report;
        bool failed = false;
        try {
            co_await self->sendOn(socket, heartbeatMessage(std::move(report), clock->now()));
        } catch (...) {
            failed = true;
        }
        if (failed) {
            if (!session.cancelled()) {
                socket->close(goingAway);
            }
            co_return;
        }
        last = clock->monotonicNow();
    }
}

} // namespace corvane
