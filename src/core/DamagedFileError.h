#pragma once

#include "core/ContractError.h"

#include <cstddef>
#include <filesystem>
#include <string>

namespace corvane {

// A ContractError about what one of the agent's files holds. Callers act on code() as on any
// ContractError ("invalid_ledger", "invalid_local_log"...); what() also names the file, the line
// when one is to blame, and what is wrong, so that a person can repair or remove the file.
class DamagedFileError : public ContractError {
public:
    // `line` counts from 1; 0 when the file as a whole is to blame.
    DamagedFileError(std::string code, std::filesystem::path file, std::size_t line,
                     const std::string& problem);

    const std::filesystem::path& file() const noexcept { return file_; }
    std::size_t line() const noexcept { return line_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::filesystem::path file_;
    std::size_t line_;
    std::string message_;
};

} // namespace corvane
