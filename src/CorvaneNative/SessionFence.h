#pragma once

#include <cstdint>

namespace corvane {

// Tells work started before a suspend or resume from work started after it. A holder records
// generation() when work starts and asks accepts() before using the work's outcome.
class SessionFence {
public:
    std::uint64_t generation() const noexcept { return generation_; }
    bool suspended() const noexcept { return suspended_; }

    void suspend() noexcept {
        ++generation_;
        suspended_ = true;
    }
    void resume() noexcept {
        ++generation_;
        suspended_ = false;
    }
    bool accepts(std::uint64_t generation) const noexcept {
        return generation == generation_ && !suspended_;
    }

private:
    std::uint64_t generation_ = 0;
    bool suspended_ = false;
};

} // namespace corvane
