#pragma once

#include <QtGlobal>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvane::test {

// Sign-ins sent to a relay on 127.0.0.1 from threads of their own, each over a connection of its
// own from one of several loopback addresses (127.0.0.2 onwards), so that the relay sees many
// addresses and the thread it runs on does none of the clients' work.
class SignInFlood {
public:
    struct Options {
        quint16 port = 0;
        int threads = 16;
        int perThread = 10;
        int addresses = 40;
        // Each sign-in names `name` followed by its number modulo `names`.
        int names = 1000;
        std::string name = "nobody-";
        std::string password = "not the password";
    };

    explicit SignInFlood(Options options);
    ~SignInFlood(); // waits for the threads
    SignInFlood(const SignInFlood&) = delete;
    SignInFlood& operator=(const SignInFlood&) = delete;

    bool done() const noexcept { return finished_.load() == options_.threads; }
    // How many answers came with each HTTP status (0: no answer), so far.
    std::map<int, int> statuses() const;

private:
    void send(int thread);

    Options options_;
    mutable std::mutex mutex_;
    std::map<int, int> statuses_;
    std::atomic<int> finished_{0};
    std::vector<std::thread> threads_;
};

} // namespace corvane::test
