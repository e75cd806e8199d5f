#pragma once

#include <QObject>

#include <functional>
#include <string>
#include <thread>

namespace corvane {

// A connection of its own that LISTENs on one channel, on a thread of its own. Each
// notification's payload is handed to `notified` on the thread of `context` (queued), and
// `listening` is called there after every LISTEN took effect, the first and each one after the
// connection was lost and made again (notifications sent meanwhile are gone: the caller reads
// what it missed). A lost connection is made again after 50 ms, doubling to 2 s. The destructor
// stops the thread and waits for it; nothing is handed over once `context` is gone.
class PostgresListener {
public:
    static constexpr const char* applicationName = "velto-relay-listen";

    PostgresListener(std::string address, std::string channel, QObject* context,
                     std::function<void(std::string)> notified, std::function<void()> listening);
    ~PostgresListener();
    PostgresListener(const PostgresListener&) = delete;
    PostgresListener& operator=(const PostgresListener&) = delete;

private:
    void loop(std::stop_token stop);
    // Waits until `fd` is ready (for reading, or writing when `write`), the wake-up is signalled
    // or `timeoutMs` passed; false when woken to stop.
    bool wait(int fd, bool write, int timeoutMs, const std::stop_token& stop) const;
    // One connection's life; true when it got as far as listening.
    bool listen(std::stop_token stop);

    std::string address_;
    std::string channel_;
    QObject* context_;
    std::function<void(std::string)> notified_;
    std::function<void()> listening_;
    int wake_ = -1;
    std::jthread thread_; // last: started once everything it uses exists
};

} // namespace corvane
