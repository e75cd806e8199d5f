#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>

class QLocalSocket;
class QSocketNotifier;

namespace corvane {

// A local (Unix) socket in a private folder taking one command per line and answering each with
// one line, for the person at the machine (the agent's `agent.sock`, the simulated Mac's
// `control.sock`). Main thread.
//
// It accepts on its own descriptor rather than through QLocalServer, which on a failed accept
// (EMFILE once descriptors run out) stops listening and removes the socket file for good. Here
// accepting pauses and is tried again after a delay, and the socket file stays. Only peers running
// as this process's user are served, whatever the modes of the socket and its folder. A line
// longer than maxLineBytes is refused and the connection closed; a peer that does not read its
// answers is not read from until they drain.
class LineSocketServer : public QObject {
public:
    // One line in (without its end), one answer out (without its end).
    using Handler = std::function<std::string(std::string_view line)>;

    static constexpr std::chrono::milliseconds acceptRetryDelay{100};

    LineSocketServer(Handler handler, qsizetype maxLineBytes, QObject* parent = nullptr);
    ~LineSocketServer() override;

    LineSocketServer(const LineSocketServer&) = delete;
    LineSocketServer& operator=(const LineSocketServer&) = delete;

    // Listens at `path`: its folder is created and made owner-only (0700), whatever stands at the
    // path (a stale socket of an earlier run) is replaced, and the socket is made 0600. False with
    // a reason when it cannot.
    bool listen(const QString& path, QString* error = nullptr);
    // Stops listening, removes the socket file (unless another server has taken the path since)
    // and drops every connection: nothing is handled afterwards.
    void close();

    QString path() const { return path_; }
    // Accepts that failed for want of resources, for diagnostics.
    std::size_t failedAccepts() const { return failedAccepts_; }

private:
    void acceptPending();
    void retryAccepting();
    void adopt(int descriptor);
    void read(QLocalSocket* socket);

    Handler handler_;
    qsizetype maxLineBytes_;
    QString path_;
    int descriptor_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
    QTimer acceptRetry_;
    std::size_t failedAccepts_ = 0;
    bool failureReported_ = false;
};

} // namespace corvane
