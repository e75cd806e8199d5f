#include "core/WebSocketFrameReader.h"

#include <QStringDecoder>

#include <algorithm>

namespace corvane {

namespace {

bool isControl(WebSocketFrameReader::Opcode opcode) {
    return (std::uint8_t(opcode) & 0x8) != 0;
}

bool known(std::uint8_t opcode) {
    return opcode <= 0x2 || (opcode >= 0x8 && opcode <= 0xA);
}

// The header's length once its first two bytes are known.
std::size_t headerLength(std::uint8_t second) {
    const std::uint8_t length = second & 0x7F;
    return length == 126 ? 4 : length == 127 ? 10 : 2;
}

} // namespace

WebSocketFrameReader::WebSocketFrameReader(std::size_t maxMessageBytes)
    : maxMessageBytes_(maxMessageBytes) {}

bool WebSocketFrameReader::sendableCloseCode(int code) noexcept {
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
           (code >= 3000 && code <= 4999);
}

bool WebSocketFrameReader::validUtf8(const QByteArray& bytes) {
    // Stateless: a sequence cut off at the end is an error, not a state kept for more input.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(bytes);
    return !decoder.hasError();
}

void WebSocketFrameReader::refuse(int code, const std::string& reason) {
    refused_ = true;
    message_.clear();
    control_.clear();
    throw Refused(code, reason);
}

void WebSocketFrameReader::read(std::string_view bytes, const std::function<void(Frame)>& deliver) {
    if (refused_) {
        throw Refused(protocolError, "the session was already refused");
    }
    while (!bytes.empty() || (inPayload_ && payloadLeft_ == 0)) {
        if (!inPayload_) {
            // The first two bytes decide how long the header is.
            const std::size_t wanted = headerHave_ < 2 ? 2 : headerLength(header_[1]);
            const std::size_t take = std::min(wanted - headerHave_, bytes.size());
            std::copy_n(bytes.begin(), take, header_.begin() + std::ptrdiff_t(headerHave_));
            headerHave_ += take;
            bytes.remove_prefix(take);
            if (headerHave_ == 2 || headerHave_ == headerLength(header_[1])) {
                headerComplete();
            }
            continue;
        }
        const std::size_t take = std::size_t(std::min<std::uint64_t>(payloadLeft_, bytes.size()));
        (isControl(opcode_) ? control_ : message_).append(bytes.data(), qsizetype(take));
        bytes.remove_prefix(take);
        payloadLeft_ -= take;
        if (payloadLeft_ == 0) {
            frameComplete(deliver);
        }
    }
}

void WebSocketFrameReader::headerComplete() {
    const std::uint8_t first = header_[0];
    const std::uint8_t second = header_[1];
    if (headerHave_ == 2) {
        // Everything that two bytes already tell is checked before waiting for more.
        if ((first & 0x70) != 0) {
            refuse(protocolError, "the relay set reserved bits no extension was agreed for");
        }
        if (!known(first & 0x0F)) {
            refuse(protocolError, "the relay sent an unknown opcode");
        }
        if ((second & 0x80) != 0) {
            refuse(protocolError, "the relay masked a frame");
        }
        const auto opcode = Opcode(first & 0x0F);
        const bool fin = (first & 0x80) != 0;
        if (isControl(opcode) && (!fin || (second & 0x7F) > maxControlPayload)) {
            refuse(protocolError, "the relay sent a fragmented or oversized control frame");
        }
        if (opcode == Opcode::Continuation && !assembling_) {
            refuse(protocolError, "the relay continued a message it never began");
        }
        if ((opcode == Opcode::Text || opcode == Opcode::Binary) && assembling_) {
            refuse(protocolError, "the relay began a message inside another");
        }
        if (headerLength(second) > 2) {
            return;
        }
    }
    std::uint64_t length = second & 0x7F;
    if (length >= 126) {
        length = 0;
        for (std::size_t i = 2; i < headerHave_; ++i) {
            length = (length << 8) | header_[i];
        }
        // The shortest form is required, and the top bit of the 64-bit form is always clear.
        const bool shortest = headerHave_ == 4 ? length >= 126 : length > 0xFFFF;
        if (!shortest || (length >> 63) != 0) {
            refuse(protocolError, "the relay sent a malformed frame length");
        }
    }
    opcode_ = Opcode(first & 0x0F);
    fin_ = (first & 0x80) != 0;
    if (!isControl(opcode_)) {
        // Refused on the declared length, before any of the payload is kept.
        const std::uint64_t sofar = assembling_ ? std::uint64_t(message_.size()) : 0;
        if (length > maxMessageBytes_ - sofar) {
            refuse(tooBig, "the relay sent a message of more than " +
                               std::to_string(maxMessageBytes_) + " bytes");
        }
        if (!assembling_) {
            assembling_ = true;
            messageOpcode_ = opcode_;
            message_.clear();
        }
        message_.reserve(qsizetype(sofar + length));
    }
    payloadLeft_ = length;
    inPayload_ = true;
}

void WebSocketFrameReader::frameComplete(const std::function<void(Frame)>& deliver) {
    inPayload_ = false;
    headerHave_ = 0;
    Frame frame;
    if (isControl(opcode_)) {
        frame.opcode = opcode_;
        frame.payload = std::exchange(control_, QByteArray());
        if (opcode_ == Opcode::Close) {
            frame.closeCode = 1005;
            if (frame.payload.size() == 1) {
                refuse(protocolError, "the relay sent a one-byte close frame");
            }
            if (frame.payload.size() >= 2) {
                frame.closeCode =
                    (std::uint8_t(frame.payload[0]) << 8) | std::uint8_t(frame.payload[1]);
                if (!sendableCloseCode(frame.closeCode)) {
                    refuse(protocolError, "the relay closed with the invalid code " +
                                              std::to_string(frame.closeCode));
                }
                if (!validUtf8(frame.payload.mid(2))) {
                    refuse(invalidText, "the relay's close reason is not UTF-8");
                }
            }
        }
        deliver(std::move(frame));
        return;
    }
    if (!fin_) {
        return;
    }
    assembling_ = false;
    frame.opcode = messageOpcode_;
    frame.payload = std::exchange(message_, QByteArray());
    if (frame.opcode == Opcode::Text && !validUtf8(frame.payload)) {
        refuse(invalidText, "the relay sent text that is not UTF-8");
    }
    deliver(std::move(frame));
}

} // namespace corvane
