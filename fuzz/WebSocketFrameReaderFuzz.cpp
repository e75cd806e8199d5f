// Feeds arbitrary bytes to the relay session's frame reader, as a server would send them. The first
// byte says where to cut the rest in two (the reader must give the same frames and the same
// refusal wherever a read ends), and every delivered frame must keep the reader's promises.
#include "core/WebSocketFrameReader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

using corvane::WebSocketFrameReader;
using Opcode = WebSocketFrameReader::Opcode;

namespace {

// Small, so that the limit is reachable within the fuzzer's input sizes.
constexpr std::size_t limit = 1024;

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "frame reader invariant broken: %s\n", what);
        std::abort();
    }
}

struct Outcome {
    std::vector<WebSocketFrameReader::Frame> frames;
    std::optional<int> refusal;
};

Outcome run(std::string_view bytes, std::size_t cut) {
    WebSocketFrameReader reader(limit);
    Outcome out;
    const auto deliver = [&](WebSocketFrameReader::Frame frame) {
        out.frames.push_back(std::move(frame));
    };
    try {
        reader.read(bytes.substr(0, cut), deliver);
        reader.read(bytes.substr(cut), deliver);
    } catch (const WebSocketFrameReader::Refused& refused) {
        out.refusal = refused.code();
        bool stillRefused = false;
        try {
            reader.read("\x81\x00", deliver);
        } catch (const WebSocketFrameReader::Refused&) {
            stillRefused = true;
        }
        check(stillRefused, "a refused reader reads on");
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t cut = data[0] * bytes.size() / 255;

    const Outcome whole = run(bytes, bytes.size());
    const Outcome split = run(bytes, cut);
    check(whole.refusal == split.refusal, "the refusal depends on where a read ended");
    check(whole.frames.size() == split.frames.size(), "the frames depend on where a read ended");
    for (std::size_t i = 0; i < whole.frames.size(); ++i) {
        const WebSocketFrameReader::Frame& frame = whole.frames[i];
        check(frame.opcode == split.frames[i].opcode && frame.payload == split.frames[i].payload,
              "a frame depends on where a read ended");
        check(frame.opcode != Opcode::Continuation, "a continuation delivered");
        switch (frame.opcode) {
        case Opcode::Text:
            check(WebSocketFrameReader::validUtf8(frame.payload), "text that is not UTF-8");
            [[fallthrough]];
        case Opcode::Binary:
            check(std::size_t(frame.payload.size()) <= limit, "a message past the limit");
            break;
        case Opcode::Close:
            check(frame.closeCode == 1005 ||
                      WebSocketFrameReader::sendableCloseCode(frame.closeCode),
                  "an invalid close code");
            [[fallthrough]];
        default:
            check(frame.payload.size() <= 125, "a control frame past 125 bytes");
        }
    }
    if (whole.refusal) {
        check(*whole.refusal == 1002 || *whole.refusal == 1007 || *whole.refusal == 1009,
              "an unexpected close code");
    }
    return 0;
}
