#pragma once

#include "relay/RelayHttp.h"

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// Reads HTTP/1.1 requests from the bytes of one connection as they arrive, each byte parsed once.
// Heads over 16 KiB (431), bodies over 64 KiB (413, refused on the declared length), chunked
// bodies (411) and anything else malformed (400) are refused; so is more than one Content-Length
// or one that is not plain digits, since a proxy in front might read another length than ours.
// No socket and no thread of its own.
class RelayRequestReader {
public:
    static constexpr std::size_t largestHead = 16384;
    static constexpr std::size_t largestBody = 65536;

    using Message = boost::beast::http::request<boost::beast::http::string_body>;

    enum class State { More, Whole, Refused };

    RelayRequestReader();

    // Takes the next bytes; Whole once a request is complete, Refused with refusal() for a bad one.
    // After Whole, next() starts the following request with the bytes already read past it.
    State read(std::string_view bytes);
    int refusal() const noexcept { return refusal_; }

    // The complete request, as the relay's handlers take it.
    RelayHttpRequest request() const;
    const Message& message() const { return parser_->get(); }
    bool keepAlive() const { return parser_->get().keep_alive(); }
    // A WebSocket upgrade request (the only kind the relay upgrades).
    bool upgrade() const;

    // Forgets the request just read and reads the next one from what is left.
    State next();

    // Bytes handed to the HTTP parser so far: each once, however they arrived.
    std::size_t handed() const noexcept { return handed_; }

private:
    State parse();
    bool headAcceptable();

    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
    std::string pending_;      // bytes not yet taken by the parser
    std::size_t searched_ = 0; // of an unfinished head, searched for its end
    std::size_t handed_ = 0;
    bool headChecked_ = false;
    int refusal_ = 0;
};

} // namespace corvane
