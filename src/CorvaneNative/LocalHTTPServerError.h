#pragma once

#include <stdexcept>

namespace corvane {

// Raised by the LocalHTTPServer constructor when the loopback listener cannot be created (the
// port is taken, no descriptor is left, ...). The message says why; nothing has been started.
class LocalHTTPServerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace corvane
