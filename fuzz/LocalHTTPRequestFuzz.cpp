// Feeds arbitrary bytes to the loopback request reader. The first byte says whether the peer has
// finished sending (low bit) and where to cut the bytes in two (the rest); the rest of the input is
// the accumulated request. Every answer must be one the server can act on, and the server's
// shortcut (asking only once the head is settled, scanning each byte once) must never hide one.
#include "actions/LocalHTTPRequestReader.h"
#include "actions/LocalHTTPResponse.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

using corvane::LocalHTTPRequestReader;
using Action = LocalHTTPRequestReader::Outcome::Action;

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "reader invariant broken: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const bool peerFinished = (data[0] & 1) != 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    // The dictionary and seeds use this port and the token "fuzz-token".
    static const LocalHTTPRequestReader reader(50123,
                                               LocalHTTPRequestReader::hashToken("fuzz-token"));

    const auto outcome = reader.read(bytes, peerFinished);
    const bool oversize = bytes.size() > LocalHTTPRequestReader::maxRequestBytes;

    const bool settled = LocalHTTPRequestReader::headSettled(bytes, 0);
    const std::size_t cut = (data[0] >> 1) * bytes.size() / 127;
    check(settled == (LocalHTTPRequestReader::headSettled(bytes.substr(0, cut), 0) ||
                      LocalHTTPRequestReader::headSettled(bytes, cut)),
          "a head settles wherever the bytes were cut");
    check(settled || oversize || peerFinished || outcome.action == Action::ReadMore,
          "nothing but waiting before the head is settled");
    check(oversize == (outcome.action == Action::Respond && outcome.status == 413),
          "413 exactly for oversize requests");
    switch (outcome.action) {
    case Action::ReadMore:
        check(!peerFinished, "no waiting for a peer that has finished");
        check(outcome.needBytes > bytes.size(), "waiting needs more bytes");
        break;
    case Action::Close:
        check(peerFinished, "silent close only for a peer that has finished");
        break;
    case Action::Respond:
        check(outcome.status == 400 || outcome.status == 401 || outcome.status == 404 ||
                  outcome.status == 413,
              "refusal status");
        check(!corvane::LocalHTTPResponse::error(outcome.status, outcome.code).bytes().empty(),
              "refusal written");
        break;
    case Action::Accept:
        check(bytes.find("fuzz-token") != std::string_view::npos, "accepted without the token");
        (void)outcome.body.data();
        break;
    }
    return 0;
}
