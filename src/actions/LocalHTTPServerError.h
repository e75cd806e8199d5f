#pragma once

#include <stdexcept>
#include <string>

namespace corvane {

// Raised by the LocalHTTPServer constructor when the loopback listener cannot be created (the
// port is taken, no descriptor is left, ...). The message says why; nothing has been started.
class LocalHTTPServerError : public std::runtime_error {
public:
    LocalHTTPServerError(const std::string& message, int errorNumber)
        : std::runtime_error(message)
        , errorNumber_(errorNumber) {}

    // The errno of the system call that failed (EADDRINUSE when another program holds the port),
    // so callers decide on the cause rather than on the message's wording.
    int errorNumber() const noexcept { return errorNumber_; }

private:
    int errorNumber_;
};

} // namespace corvane
