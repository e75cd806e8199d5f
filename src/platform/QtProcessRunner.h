#pragma once

#include "platform/ProcessRunner.h"

#include <memory>

namespace corvane {

// Tools run as child processes with standard input, output and error on the null device, each in a
// session and process group of its own that is ended as a whole. Polling needs no running event
// loop: each poll reaps the child if it has ended. Used from one thread.
class QtProcessRunner final : public ProcessRunner {
public:
    QtProcessRunner();
    // Ends every tool still running, as endAll() does.
    ~QtProcessRunner() override;

    std::unique_ptr<Process> start(const std::string& path,
                                   const std::vector<std::string>& arguments) override;

    // Ends every tool whose handle is still held and whatever its group started: asked to end,
    // then killed after the grace. A handle is not always dropped in time: at shutdown, the task
    // polling a tool stays suspended for good, and the tool would run on under init.
    void endAll();

    class Running;

private:
    std::shared_ptr<Running> running_;
};

} // namespace corvane
