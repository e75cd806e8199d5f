#pragma once

#include <qcoro/qcorotask.h>

#include <string>

namespace corvane {

// The live relay session as the command pipeline sees it: one text message out at a time, and a
// close. The session (a WebSocket) implements it; tests use a scripted one that can fail.
class RelaySocket {
public:
    virtual ~RelaySocket() = default;

    // Sends `text` as one text message and completes when the transport has taken it; throws when
    // the send fails.
    virtual QCoro::Task<void> sendText(std::string text) = 0;
    // Closes the session with `code` (1001 "going away" from the agent's side), without a reason.
    virtual void close(int code) = 0;
};

} // namespace corvane
