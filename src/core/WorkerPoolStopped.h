#pragma once

#include <stdexcept>

namespace corvane {

// What awaiting a WorkerPool job ends with when the pool went before the job could start.
class WorkerPoolStopped : public std::runtime_error {
public:
    WorkerPoolStopped()
        : std::runtime_error("the job never ran: its worker threads stopped first") {}
};

} // namespace corvane
