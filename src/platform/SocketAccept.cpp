#include "platform/SocketAccept.h"

#include <cerrno>
#include <sys/socket.h>

namespace corvane::SocketAccept {

Result next(int listening) {
    const int accepted = ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted >= 0) {
        return {Outcome::Accepted, accepted, 0};
    }
    const int error = errno;
    switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return {Outcome::Drained, -1, error};
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
        return {Outcome::Skipped, -1, error};
    default:
        // EMFILE, ENFILE, ENOBUFS, ENOMEM or worse.
        return {Outcome::Exhausted, -1, error};
    }
}

} // namespace corvane::SocketAccept
