#pragma once

#include <stdexcept>
#include <string>

namespace corvane {

// The file system's error: a failed POSIX call on one of the agent's private files. Not a
// ContractError; the pipeline reports it as a storage failure.
class FileError : public std::runtime_error {
public:
    // `operation` names the failed call ("open", "rename"...), `path` what it acted on.
    FileError(const std::string& operation, const std::string& path, int errorNumber);
    // The same with a reason of its own where the system's text would mislead.
    FileError(const std::string& operation, const std::string& path, int errorNumber,
              const std::string& reason);

    // The errno of the failed call.
    int errorNumber() const noexcept { return errorNumber_; }

private:
    int errorNumber_;
};

} // namespace corvane
