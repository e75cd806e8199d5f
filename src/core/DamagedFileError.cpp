#include "core/DamagedFileError.h"

namespace corvane {

DamagedFileError::DamagedFileError(std::string code, std::filesystem::path file, std::size_t line,
                                   const std::string& problem)
    : ContractError(std::move(code))
    , file_(std::move(file))
    , line_(line)
    , message_(this->code() + ": " + file_.string() +
               (line_ > 0 ? ", line " + std::to_string(line_) : std::string()) + ": " + problem) {}

} // namespace corvane
