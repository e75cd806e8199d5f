#include "core/WebSocketFrameReader.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using corvane::WebSocketFrameReader;
using Opcode = WebSocketFrameReader::Opcode;

namespace {

constexpr std::size_t limit = 65536;

// An unmasked frame as a server writes it: `first` is FIN, RSV and opcode; the length is the
// payload's unless `declared` says otherwise, in the shortest form unless `form` (7, 16 or 64 bits)
// forces one.
std::string frame(std::uint8_t first, const std::string& payload,
                  std::optional<std::uint64_t> declared = {}, int form = 0) {
    const std::uint64_t length = declared.value_or(payload.size());
    if (form == 0) {
        form = length < 126 ? 7 : length <= 0xFFFF ? 16 : 64;
    }
    std::string out(1, char(first));
    if (form == 7) {
        out += char(length);
    } else {
        out += char(form == 16 ? 126 : 127);
        for (int shift = form - 8; shift >= 0; shift -= 8) {
            out += char((length >> shift) & 0xFF);
        }
    }
    return out + payload;
}

struct Outcome {
    std::vector<WebSocketFrameReader::Frame> frames;
    std::optional<int> refusal;
};

// Feeds `bytes` in pieces of `piece` bytes (all at once for 0).
Outcome feed(const std::string& bytes, std::size_t piece = 0) {
    WebSocketFrameReader reader(limit);
    Outcome out;
    try {
        std::string_view rest(bytes);
        do {
            const std::size_t take = piece == 0 ? rest.size() : std::min(piece, rest.size());
            reader.read(rest.substr(0, take),
                        [&](WebSocketFrameReader::Frame f) { out.frames.push_back(std::move(f)); });
            rest.remove_prefix(take);
        } while (!rest.empty());
    } catch (const WebSocketFrameReader::Refused& refused) {
        out.refusal = refused.code();
    }
    return out;
}

} // namespace

// One row per way a relay can break the protocol; each is refused with its close code, and nothing
// of the offending frame is delivered.
TEST(WebSocketFrameReader, RefusesEachViolationWithItsCode) {
    struct Row {
        const char* name;
        std::string bytes;
        int code;
    };
    const std::string big(limit, 'a');
    const std::vector<Row> rows{
        {"reserved bit", frame(0xC1, "{}"), 1002},
        {"unknown data opcode", frame(0x83, "{}"), 1002},
        {"unknown control opcode", frame(0x8B, ""), 1002},
        {"masked by the server", std::string("\x81\x82\x01\x02\x03\x04xy", 8), 1002},
        {"fragmented ping", frame(0x09, ""), 1002},
        {"control frame over 125 bytes", frame(0x89, std::string(126, 'p')), 1002},
        {"continuation without a start", frame(0x80, "x"), 1002},
        {"text inside a fragmented text", frame(0x01, "a") + frame(0x81, "b"), 1002},
        {"16-bit length for a short frame", frame(0x81, "{}", {}, 16), 1002},
        {"64-bit length for a 16-bit one", frame(0x82, std::string(200, 'b'), {}, 64), 1002},
        {"64-bit length with its top bit", frame(0x82, "", 0x8000000000000000ULL, 64), 1002},
        {"one-byte close", frame(0x88, "\x03"), 1002},
        {"close code 1005 on the wire", frame(0x88, "\x03\xED"), 1002},
        {"close code 999", frame(0x88, "\x03\xE7"), 1002},
        {"close code 5000", frame(0x88, "\x13\x88"), 1002},
        {"close reason not UTF-8", frame(0x88, "\x03\xE8\xC3"), 1007},
        // Only the header: refused before any payload exists.
        {"frame declaring 1.5 GiB", frame(0x82, "", 1610612736ULL), 1009},
        {"one byte past the limit", frame(0x81, big + "a"), 1009},
        {"fragments past the limit", frame(0x01, big) + frame(0x80, "a"), 1009},
        {"overlong UTF-8", frame(0x81, "\xC0\xAF"), 1007},
        {"UTF-16 surrogate", frame(0x81, "\xED\xA0\x80"), 1007},
        {"character cut off at the end", frame(0x01, "\xE2\x82") + frame(0x80, ""), 1007},
    };
    for (const Row& row : rows) {
        for (std::size_t piece : {std::size_t(0), std::size_t(1)}) {
            SCOPED_TRACE(std::string(row.name) + (piece == 1 ? ", byte by byte" : ""));
            const Outcome out = feed(row.bytes, piece);
            EXPECT_EQ(out.refusal, std::optional<int>(row.code));
            EXPECT_TRUE(out.frames.empty());
        }
    }
}

TEST(WebSocketFrameReader, ReassemblesFragmentsAcrossSplitCharactersAndControlFrames) {
    // "€" (E2 82 AC) cut inside, with a ping and an empty fragment between the pieces.
    const std::string bytes = frame(0x01, "{\"p\":\"\xE2") + frame(0x89, "hi") + frame(0x00, "") +
                              frame(0x00, "\x82") + frame(0x80, "\xAC\"}") + frame(0x82, "") +
                              frame(0x88, "\x0F\xA3"
                                          "bye");
    for (std::size_t piece : {std::size_t(0), std::size_t(1), std::size_t(3)}) {
        SCOPED_TRACE(piece);
        const Outcome out = feed(bytes, piece);
        ASSERT_FALSE(out.refusal.has_value());
        ASSERT_EQ(out.frames.size(), 4u);
        EXPECT_EQ(out.frames[0].opcode, Opcode::Ping);
        EXPECT_EQ(out.frames[0].payload, "hi");
        EXPECT_EQ(out.frames[1].opcode, Opcode::Text);
        EXPECT_EQ(out.frames[1].payload, "{\"p\":\"\xE2\x82\xAC\"}");
        EXPECT_EQ(out.frames[2].opcode, Opcode::Binary);
        EXPECT_TRUE(out.frames[2].payload.isEmpty());
        EXPECT_EQ(out.frames[3].opcode, Opcode::Close);
        EXPECT_EQ(out.frames[3].closeCode, 4003);
    }
    // Exactly the limit over two fragments passes; a close without a code reports 1005.
    const std::string half(limit / 2, 'h');
    const Outcome full = feed(frame(0x02, half) + frame(0x80, half) + frame(0x88, ""));
    ASSERT_EQ(full.frames.size(), 2u);
    EXPECT_EQ(full.frames[0].payload.size(), qsizetype(limit));
    EXPECT_EQ(full.frames[1].closeCode, 1005);
}

// What came before a violation in the same read is still delivered.
TEST(WebSocketFrameReader, DeliversWhatPrecededARefusal) {
    const Outcome out = feed(frame(0x81, "{\"type\":\"bye\"}") + frame(0xF1, ""));
    ASSERT_EQ(out.frames.size(), 1u);
    EXPECT_EQ(out.refusal, std::optional<int>(1002));
}
