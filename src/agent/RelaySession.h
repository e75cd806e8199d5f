#pragma once

#include "agent/RelaySocket.h"
#include "agent/TaskHandle.h"
#include "agent/WebSocketRelaySocket.h"
#include "core/Clock.h"
#include "core/JSON.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstdint>
#include <memory>

namespace corvane {

class Agent;

// The relay session: the connect loop with its back-off, one session from opening to end (hello,
// the handshake watchdog, the heartbeats, the messages the relay sends) and the socket in use. The
// Agent starts the loop under its task handle and generation and keeps both; every task of the
// session holds this object weakly and, after each suspension, checks that it lives and that the
// generation is still its own. Main thread only.
class RelaySession : public QObject {
    Q_OBJECT

public:
    static constexpr int goingAway = 1001;
    // The relay's close code that means this computer was revoked.
    static constexpr int revokedByRelay = 4003;
    static constexpr std::chrono::seconds openingWait{60};
    static constexpr std::chrono::seconds handshakeWait{10};
    static constexpr std::chrono::seconds heartbeatCheck{2};
    static constexpr std::chrono::seconds heartbeatSilence{24};
    // A relay heard nothing from for this long is pinged (then again as long again later).
    static constexpr std::chrono::seconds pingAfter{8};

    // `agent` owns the session and outlives it.
    explicit RelaySession(Agent& agent);
    ~RelaySession() override;
    RelaySession(const RelaySession&) = delete;
    RelaySession& operator=(const RelaySession&) = delete;

    // Starts the connect loop; it runs while `handle` is not cancelled, the Agent's generation is
    // `generation`, the computer is paired and no revocation waits.
    void start(TaskHandle handle, std::uint64_t generation);
    // A socket opened by someone else (tests) in place of the current one.
    void adopt(std::shared_ptr<RelaySocket> socket);
    // Closes the current socket with 1001, if there is one.
    void close();
    bool hasSocket() const noexcept { return socket_ != nullptr; }
    // Validates a device message and sends it on the current socket; "device_offline" without one.
    QCoro::Task<> send(JSON message);
    // Sends the capability report at once when it changed since the relay last heard it (the
    // screen locked or unlocked), rather than at the heartbeats' next check, so that a dashboard
    // shows the change within a moment. Does nothing while offline.
    void reportNow();

private:
    static QCoro::Task<> connectLoop(QPointer<RelaySession> self, TaskHandle handle,
                                     std::uint64_t generation);
    // One session from opening to end: returns after a normal end (and after a revocation by
    // close code 4003), throws after a failure.
    QCoro::Task<> connected(TaskHandle handle, std::uint64_t generation);
    QCoro::Task<> sessionBody(std::shared_ptr<WebSocketRelaySocket> socket, TaskHandle handle,
                              TaskHandle session, std::uint64_t generation);
    // Handles one received message; true when it ends the session.
    QCoro::Task<bool> received(QByteArray bytes, std::uint64_t generation);
    // Validates an outgoing message and sends it on `socket`.
    QCoro::Task<> sendOn(std::shared_ptr<WebSocketRelaySocket> socket, JSON message);
    static QCoro::Task<> openingLimit(std::shared_ptr<WebSocketRelaySocket> socket,
                                      TaskHandle opening, Clock* clock);
    static QCoro::Task<> handshakeWatchdog(QPointer<RelaySession> self, TaskHandle session,
                                           std::uint64_t generation,
                                           std::shared_ptr<WebSocketRelaySocket> socket,
                                           Clock* clock);
    static QCoro::Task<> heartbeats(QPointer<RelaySession> self, TaskHandle session,
                                    std::uint64_t generation,
                                    std::shared_ptr<WebSocketRelaySocket> socket, Clock* clock);
    // The capability report for the current desktop-control setting.
    JSON capabilities() const;

    Agent& agent_;
    std::shared_ptr<RelaySocket> socket_;
    // The capability report the relay last heard on the current session.
    JSON reported_;
};

} // namespace corvane
