#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvane {

// Raised when a tool cannot be started at all.
class ProcessStartError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Starts command-line tools with their output discarded, then polls and, if needed, ends them.
// A tool's work ends with its handle: what the tool started (its child processes) ends with it.
class ProcessRunner {
public:
    virtual ~ProcessRunner() = default;

    class Process {
    public:
        // Ends whatever of the tool still runs, the tool or processes it left behind: asked to
        // end, then killed after a short grace (the wait is bounded; it blocks the caller only
        // for a tool that ignores the request).
        virtual ~Process() = default;
        // The exit status once the tool has ended; absent while it runs. A tool killed by a
        // signal reports a non-zero status.
        virtual std::optional<int> exitStatus() = 0;
        // Asks the tool and everything it started to end, without waiting. One that ignores the
        // request is killed once the grace has passed, at the next poll or when the handle goes.
        virtual void terminate() = 0;
    };

    // Throws ProcessStartError when the tool cannot be started.
    virtual std::unique_ptr<Process> start(const std::string& path,
                                           const std::vector<std::string>& arguments) = 0;

    struct Command {
        std::string path;
        std::vector<std::string> arguments;
    };
    // The program and arguments that run the person's Shortcut `name` on this system; absent where
    // the system's own Shortcuts tool runs it (the actions hold its path). Throws a ContractError
    // for a name that cannot designate a Shortcut here.
    virtual std::optional<Command> shortcutCommand(const std::string& name) const {
        static_cast<void>(name);
        return std::nullopt;
    }
};

} // namespace corvane
