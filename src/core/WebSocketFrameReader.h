#pragma once

#include <QByteArray>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace corvane {

// Turns the bytes a WebSocket server sends into whole messages and control frames (RFC 6455, no
// extensions). It holds no socket: the caller hands it every received byte in order, in pieces of
// any size. It keeps at most one frame header and the message being assembled: a frame whose
// declared length would take the message past the limit is refused as soon as its header is
// complete, before any of its payload is kept. Text is checked as UTF-8 over the whole message, so
// a character may be split across fragments.
//
// Every violation throws Refused with the close code to send (1002 protocol error, 1007 bad UTF-8,
// 1009 too big); the reader then stays refused.
class WebSocketFrameReader {
public:
    enum class Opcode : std::uint8_t {
        Continuation = 0x0,
        Text = 0x1,
        Binary = 0x2,
        Close = 0x8,
        Ping = 0x9,
        Pong = 0xA,
    };

    // A whole message (Text, Binary) or one control frame (Close, Ping, Pong).
    struct Frame {
        Opcode opcode = Opcode::Text;
        QByteArray payload;
        // Close only: the code the peer sent, 1005 ("no status") when it sent none.
        int closeCode = 0;
    };

    class Refused : public std::runtime_error {
    public:
        Refused(int code, const std::string& reason)
            : std::runtime_error(reason)
            , code_(code) {}
        int code() const noexcept { return code_; }

    private:
        int code_;
    };

    static constexpr int protocolError = 1002;
    static constexpr int invalidText = 1007;
    static constexpr int tooBig = 1009;
    static constexpr std::size_t maxControlPayload = 125;

    explicit WebSocketFrameReader(std::size_t maxMessageBytes);

    // Consumes all of `bytes`, calling `deliver` for each frame completed on the way, in order;
    // frames completed before a violation are delivered before Refused is thrown.
    void read(std::string_view bytes, const std::function<void(Frame)>& deliver);

    // Whether a close code may appear in a close frame on the wire.
    static bool sendableCloseCode(int code) noexcept;
    // Whether `bytes` are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF,
    // nothing cut off at the end).
    static bool validUtf8(const QByteArray& bytes);

private:
    // Decides what the header means once it is complete; throws on violations.
    void headerComplete();
    void frameComplete(const std::function<void(Frame)>& deliver);
    [[noreturn]] void refuse(int code, const std::string& reason);

    std::size_t maxMessageBytes_;
    bool refused_ = false;

    // A server frame's header: 2 bytes and up to 8 of extended length (it never carries a mask).
    std::array<std::uint8_t, 10> header_{};
    std::size_t headerHave_ = 0;
    bool inPayload_ = false;
    Opcode opcode_ = Opcode::Continuation;
    bool fin_ = false;
    std::uint64_t payloadLeft_ = 0;

    // The fragmented message under way, if any, and its kind.
    bool assembling_ = false;
    Opcode messageOpcode_ = Opcode::Text;
    QByteArray message_;
    QByteArray control_;
};

} // namespace corvane
