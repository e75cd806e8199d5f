#pragma once

#include "agent/CredentialVault.h"

#include <optional>
#include <string>

namespace corvane::bench {

// A paired-never agent's credentials without a keychain: a fixed local token, nothing stored.
class BenchVault final : public CredentialVault {
public:
    Credentials load(bool) override { return {std::nullopt, "bench-token", false}; }
    std::optional<std::string> read(const std::string&) override { return std::nullopt; }
    void write(const std::string&, const std::string&) override {}
    void remove(const std::string&) override {}
    std::string replaceLocalToken() override { return "bench-token-2"; }
};

} // namespace corvane::bench
