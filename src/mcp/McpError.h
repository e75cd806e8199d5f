#pragma once

#include "core/JSON.h"

#include <stdexcept>
#include <string>

namespace corvane {

// A JSON-RPC error answer: the protocol's code, a short sentence and optional data. Thrown while a
// message is handled and written as the error member of the response.
class McpError : public std::runtime_error {
public:
    static constexpr int parseError = -32700;
    static constexpr int invalidRequest = -32600;
    static constexpr int methodNotFound = -32601;
    static constexpr int invalidParams = -32602;
    static constexpr int internalError = -32603;
    // Handshake revisions' "resource not found"; the stateless revision uses invalidParams.
    static constexpr int resourceNotFound = -32002;
    static constexpr int headerMismatch = -32020;
    static constexpr int unsupportedProtocolVersion = -32022;

    McpError(int code, const std::string& message, JSON data = JSON())
        : std::runtime_error(message)
        , code_(code)
        , data_(std::move(data)) {}

    int code() const noexcept { return code_; }
    const JSON& data() const noexcept { return data_; }

private:
    int code_;
    JSON data_;
};

} // namespace corvane
