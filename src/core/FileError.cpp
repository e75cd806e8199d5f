#include "core/FileError.h"

#include <system_error>

namespace corvane {

FileError::FileError(const std::string& operation, const std::string& path, int errorNumber)
    : std::runtime_error(operation + " " + path + ": " +
                         std::generic_category().message(errorNumber))
    , errorNumber_(errorNumber) {}

FileError::FileError(const std::string& operation, const std::string& path, int errorNumber,
                     const std::string& reason)
    : std::runtime_error(operation + " " + path + ": " + reason)
    , errorNumber_(errorNumber) {}

} // namespace corvane
