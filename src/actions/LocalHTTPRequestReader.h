#pragma once

#include "core/JSON.h"

#include <QString>
#include <QtGlobal>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace corvane {

// Decides, from the bytes a connection has received so far, what the loopback command server does
// next. It holds no socket and no per-connection state: the caller accumulates bytes and asks
// again after every read. Checks run in a fixed order (size, UTF-8, request line, header syntax,
// origin, transfer-encoding, host, content-type, content-length, authorization, body), so a
// request that is wrong in several ways always gets the same answer.
//
// Lines end with CR LF. A line feed without a carriage return before it, anywhere before the
// blank line that ends the head, makes the head malformed whatever follows, so it is refused as
// soon as it arrives instead of waiting for a blank line that such a client never sends. The
// answer then depends only on the bytes before that line feed, in the same order: UTF-8 (400),
// the request line up to its first line feed (404), then the line feed itself (400).
class LocalHTTPRequestReader {
public:
    // Head and body together; one byte more is refused with 413.
    static constexpr std::size_t maxRequestBytes = 65536;
    static constexpr long long maxBodyBytes = 60000;

    using TokenHash = std::array<unsigned char, 32>;

    struct Outcome {
        enum class Action {
            ReadMore, // keep reading; nothing can change before `needBytes` bytes have arrived
            Close,    // close the connection without an answer
            Respond,  // answer `status` with the error body for `code`, then close
            Accept,   // a complete request: hand `body` to the handler
        };
        Action action = Action::ReadMore;
        std::size_t needBytes = 0;
        int status = 0;
        std::string code;
        JSON body;
    };

    // Whether read() can answer anything but "read more" from what the head holds: its terminator
    // (CR LF CR LF) or a bare line feed before it has arrived. Only line feeds at or after `from`
    // are examined, so a caller that passes the size it had last time scans each byte once.
    static bool headSettled(std::string_view bytes, std::size_t from);

    // SHA-256 of the token's UTF-8 bytes; the server keeps only this.
    static TokenHash hashToken(std::string_view token);

    LocalHTTPRequestReader(quint16 port, const TokenHash& tokenHash);

    // `bytes` is everything received on the connection so far; `peerFinished` is true once the
    // peer has closed its sending side.
    Outcome read(std::string_view bytes, bool peerFinished) const;

private:
    QString expectedHost_;
    TokenHash tokenHash_;
};

} // namespace corvane
