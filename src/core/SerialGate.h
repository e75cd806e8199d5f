#pragma once

#include <coroutine>
#include <deque>
#include <memory>

namespace corvane {

// First come, first served for coroutines of one thread: `co_await gate.enter()` completes once
// every earlier entrant has left, and gives a pass that leaves when it is destroyed. The next
// entrant resumes from the event loop, never inside the leaving coroutine. Nothing blocks the
// thread. The gate's state is shared with the passes and waiters, so it may go away first.
class SerialGate {
public:
    class Pass {
    public:
        Pass() = default;
        Pass(Pass&& other) noexcept;
        Pass& operator=(Pass&& other) noexcept;
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        ~Pass();

    private:
        friend class SerialGate;
        struct State;
        explicit Pass(std::shared_ptr<State> state)
            : state_(std::move(state)) {}
        void leave() noexcept;
        std::shared_ptr<State> state_;
    };

    class Entry {
    public:
        bool await_ready() noexcept;
        void await_suspend(std::coroutine_handle<> waiting);
        Pass await_resume() noexcept { return Pass(std::move(state_)); }

    private:
        friend class SerialGate;
        explicit Entry(std::shared_ptr<Pass::State> state)
            : state_(std::move(state)) {}
        std::shared_ptr<Pass::State> state_;
    };

    SerialGate();
    Entry enter() { return Entry(state_); }
    // Entrants holding a pass or waiting for one.
    std::size_t occupancy() const noexcept;

private:
    std::shared_ptr<Pass::State> state_;
};

} // namespace corvane
