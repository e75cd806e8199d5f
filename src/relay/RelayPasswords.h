#pragma once

#include "core/WorkerPool.h"

#include <qcoro/qcorotask.h>

#include <cstddef>
#include <memory>
#include <string>

namespace corvane {

// Argon2id (tens of milliseconds and 64 MiB each) on a few threads of its own, so that signing in
// never holds the main thread where every device's session lives. At most `mostAtOnce` hashes
// wait or run at a time: past that a caller is refused with ContractError "rate_limited" at once,
// so a flood of sign-ins cannot pile up work or memory. Called from the main thread.
class RelayPasswords {
public:
    static constexpr std::size_t defaultMostAtOnce = 32;

    // `threads` 0: as many as the machine has cores, at most 4.
    explicit RelayPasswords(int threads = 0, std::size_t mostAtOnce = defaultMostAtOnce);

    // An Argon2id string for `password`.
    QCoro::Task<std::string> hash(std::string password);
    // Whether `password` matches the Argon2id string `hash`.
    QCoro::Task<bool> verify(std::string hash, std::string password);

    // The same work on the calling thread, for start-up.
    static std::string hashNow(const std::string& password);
    static bool verifyNow(const std::string& hash, const std::string& password);

private:
    // Takes a place in the queue, or throws "rate_limited" when there is none.
    std::shared_ptr<std::size_t> admit();

    std::size_t mostAtOnce_;
    // Shared with the awaiting coroutines, which give their place back even after this went.
    std::shared_ptr<std::size_t> atOnce_ = std::make_shared<std::size_t>(0);
    WorkerPool pool_;
};

} // namespace corvane
