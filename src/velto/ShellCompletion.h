#pragma once

#include <string>
#include <vector>

namespace corvane {

// The shell completion scripts for `velto` (bash and zsh), written from the tables the command
// line parses with: commands, options, `sim` commands and their words, `desktop` commands,
// platforms, and the actions the contract document lists (passed in: they are read at run time).
class ShellCompletion {
public:
    // The script for "bash" or "zsh"; empty for any other shell.
    static std::string script(const std::string& shell, const std::vector<std::string>& actions);
};

} // namespace corvane
