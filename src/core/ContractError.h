#pragma once

#include <exception>
#include <string>
#include <utility>

namespace corvane {

// The one error that reaches a caller, a log line or the wire: a snake_case code and nothing else.
// The sentence shown for a code comes from CommandFeedback.
class ContractError : public std::exception {
public:
    explicit ContractError(std::string code)
        : code_(std::move(code)) {}

    const std::string& code() const noexcept { return code_; }
    const char* what() const noexcept override { return code_.c_str(); }

    friend bool operator==(const ContractError& a, const ContractError& b) {
        return a.code_ == b.code_;
    }

private:
    std::string code_;
};

} // namespace corvane
