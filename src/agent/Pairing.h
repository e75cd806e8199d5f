#pragma once

#include "agent/TaskHandle.h"
#include "core/WireTime.h"

#include <QObject>
#include <QPointer>
#include <qcoro/qcorotask.h>

#include <cstdint>
#include <string>

namespace corvane {

class Agent;

// Pairing with the relay: asking for codes, showing them, polling until one is redeemed or
// expires, fresh codes after an expiry, and cancelling an unfinished pairing (the relay is told to
// drop its bootstrap token, with a pending revocation until it has heard). The unattended agent
// tries again after the connection's back-off. The pairing task runs under the Agent's task handle
// and generation, which the connect loop shares; every task holds this object weakly. Main thread
// only.
class Pairing : public QObject {
    Q_OBJECT

public:
    // `agent` owns the pairing and outlives it.
    explicit Pairing(Agent& agent);
    Pairing(const Pairing&) = delete;
    Pairing& operator=(const Pairing&) = delete;

    // Starts pairing (cancels an interrupted one instead); needs the credentials loaded, no device
    // token and no pending revocation.
    void begin();
    // Abandons an unfinished pairing and tells the relay. Does nothing on a paired computer.
    void cancel();

private:
    static QCoro::Task<> beginning(QPointer<Pairing> self);
    static QCoro::Task<> pairingTask(QPointer<Pairing> self, TaskHandle handle,
                                     std::uint64_t generation);
    // The pairing's steps; returns when it completed or was superseded, throws to give up.
    QCoro::Task<> steps(TaskHandle handle, std::uint64_t generation);
    // Polls one code until it is redeemed (true) or expires (false).
    QCoro::Task<bool> redeem(TaskHandle handle, std::uint64_t generation, std::string bootstrap,
                             std::string pendingToken, std::string deviceID,
                             WireTime::Instant expiresAt);
    static QCoro::Task<> cancellation(QPointer<Pairing> self);
    void cancellationFailed();

    Agent& agent_;
    // begin() is reading the keychain before it decides.
    bool starting_ = false;
    // Pairings in a row that gave up, for the unattended agent's back-off.
    int retries_ = 0;
};

} // namespace corvane
