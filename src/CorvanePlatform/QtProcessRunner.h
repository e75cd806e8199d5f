#pragma once

#include "CorvanePlatform/ProcessRunner.h"

namespace corvane {

// Tools run as child processes with standard input, output and error on the null device, each in a
// session and process group of its own that is ended as a whole. Polling needs no running event
// loop: each poll reaps the child if it has ended.
class QtProcessRunner final : public ProcessRunner {
public:
    std::unique_ptr<Process> start(const std::string& path,
                                   const std::vector<std::string>& arguments) override;
};

} // namespace corvane
