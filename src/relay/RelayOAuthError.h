#pragma once

#include <stdexcept>
#include <string>

namespace corvane {

// A refusal in OAuth's own terms (RFC 6749 section 5.2, RFC 7591 section 3.2.2, RFC 6750 section
// 3.1, RFC 8707): the `error` code a client reads, a sentence for its developer, and the HTTP
// status.
class RelayOAuthError : public std::runtime_error {
public:
    RelayOAuthError(std::string error, const std::string& description, int status = 400)
        : std::runtime_error(description)
        , error_(std::move(error))
        , status_(status) {}

    const std::string& error() const noexcept { return error_; }
    int status() const noexcept { return status_; }

private:
    std::string error_;
    int status_;
};

} // namespace corvane
