#pragma once

#include <stdexcept>
#include <string>

namespace corvane {

// A preference that could not be stored. Not a ContractError: the pipeline reports it as a storage
// failure, and the message names the file, the operation and the cause for the person who has to
// repair the folder.
class UserDefaultsError : public std::runtime_error {
public:
    // `operation` as a person reads it (`saving "shortcuts"`), `cause` the system's reason.
    UserDefaultsError(const std::string& file, const std::string& operation,
                      const std::string& cause)
        : std::runtime_error(file + ": " + operation + " failed: " + cause) {}
};

} // namespace corvane
