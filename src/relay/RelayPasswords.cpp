#include "relay/RelayPasswords.h"

#include "core/ContractError.h"

#include <QThread>

#include <sodium.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace corvane {

namespace {

int poolSize(int threads) {
    return threads > 0 ? threads : std::clamp(QThread::idealThreadCount(), 1, 4);
}

// Hashing yields the cores to the threads that serve devices and pages: a flood of sign-ins keeps
// every hashing thread busy, and at the same priority they would slow every heartbeat with them.
// Lowered per job (a cheap call beside a hash), for the pool's threads come and go.
void yieldToServing() {
    constexpr int lower = 10;
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), lower);
}

// Gives a place in the queue back when the awaiting coroutine is done with it.
struct Place {
    std::shared_ptr<std::size_t> atOnce;
    ~Place() { --*atOnce; }
};

} // namespace

RelayPasswords::RelayPasswords(int threads, std::size_t mostAtOnce)
    : mostAtOnce_(mostAtOnce)
    , pool_(poolSize(threads)) {
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium cannot start");
    }
}

std::string RelayPasswords::hashNow(const std::string& password) {
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(
            out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
            crypto_pwhash_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2ID13) != 0) {
        throw std::runtime_error("password hashing ran out of memory");
    }
    return out;
}

bool RelayPasswords::verifyNow(const std::string& hash, const std::string& password) {
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::shared_ptr<std::size_t> RelayPasswords::admit() {
    if (*atOnce_ >= mostAtOnce_) {
        throw ContractError("rate_limited");
    }
    ++*atOnce_;
    return atOnce_;
}

QCoro::Task<std::string> RelayPasswords::hash(std::string password) {
    const Place place{admit()};
    std::function<std::string()> work = [password = std::move(password)] {
        yieldToServing();
        return hashNow(password);
    };
    co_return co_await pool_.run<std::string>(std::move(work));
}

QCoro::Task<bool> RelayPasswords::verify(std::string hash, std::string password) {
    const Place place{admit()};
    std::function<bool()> work = [hash = std::move(hash), password = std::move(password)] {
        yieldToServing();
        return verifyNow(hash, password);
    };
    co_return co_await pool_.run<bool>(std::move(work));
}

} // namespace corvane
