#pragma once

#include "CorvaneCore/JSON.h"

#include <QString>
#include <QtGlobal>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace corvane {

// Decides, from the bytes a connection has received so far, what the loopback command server does
// next. It holds no socket and no per-connection state: the caller accumulates bytes and asks
// again after every read. Checks run in a fixed order (size, request line, header syntax, origin,
// transfer-encoding, host, content-type, content-length, authorization, body), so a request that
// is wrong in several ways always gets the same answer.
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
