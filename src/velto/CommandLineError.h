#pragma once

#include <stdexcept>
#include <string>

namespace corvane {

// A command line the program refuses: the message is one line for standard error, and the program
// exits with status 2.
class CommandLineError : public std::runtime_error {
public:
    explicit CommandLineError(const std::string& message)
        : std::runtime_error(message) {}
};

} // namespace corvane
