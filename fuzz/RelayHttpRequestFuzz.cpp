// Feeds arbitrary bytes to the relay's request reader, cut in two where the first byte says (the
// network hands over whatever arrived). Whatever the cut, a request is read whole or not at all, a
// refusal carries a status the relay answers with, and a request it accepts keeps its limits.
#include "relay/RelayRequestReader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

using corvane::RelayRequestReader;
using State = RelayRequestReader::State;

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "reader invariant broken: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t cut = data[0] * bytes.size() / 255;

    RelayRequestReader whole;
    const State once = whole.read(bytes);

    RelayRequestReader pieces;
    State twice = pieces.read(bytes.substr(0, cut));
    if (twice == State::More) {
        twice = pieces.read(bytes.substr(cut));
    }
    // Beast checks a request line as far as it has it, so a bad one may be refused before its
    // head ends or only once it does; a whole request is whole however it came.
    check((once == State::Whole) == (twice == State::Whole),
          "the same request wherever the bytes were cut");

    switch (once) {
    case State::Refused:
        check(whole.refusal() == 400 || whole.refusal() == 411 || whole.refusal() == 413 ||
                  whole.refusal() == 431,
              "refusal status");
        break;
    case State::Whole: {
        const corvane::RelayHttpRequest request = whole.request();
        check(static_cast<std::size_t>(request.body.size()) <= RelayRequestReader::largestBody,
              "body within its limit");
        check(request.path.startsWith(QLatin1Char('/')), "path from the root");
        check(request.header("transfer-encoding").isEmpty(), "no transfer coding");
        check(request.body == pieces.request().body, "the same body wherever the bytes were cut");
        // A pipelined request behind it is read the same way.
        (void)whole.next();
        break;
    }
    case State::More:
        check(bytes.size() <=
                  RelayRequestReader::largestHead + RelayRequestReader::largestBody + 64 * 1024,
              "waiting only within the limits");
        break;
    }
    return 0;
}
