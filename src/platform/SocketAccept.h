#pragma once

// One step of a non-blocking accept loop, with accept's errors sorted once for every listener of
// the program (the loopback API and the control sockets).
namespace corvane::SocketAccept {

enum class Outcome {
    Accepted,  // `descriptor` is the new connection (non-blocking, close-on-exec)
    Drained,   // nothing waits
    Skipped,   // that connection was gone before it was taken; the next may be fine
    Exhausted, // out of descriptors or memory (or worse): the connection stays queued, and
               // accepting should pause rather than spin on it
};

struct Result {
    Outcome outcome;
    int descriptor = -1;
    int error = 0; // errno of a refused accept
};

Result next(int listening);

} // namespace corvane::SocketAccept
